"""PNG files and a PDF of raster pages from one encoding of each picture's pixels.

Drawing every figure a second time for a vector PDF doubled the cost of the
plots, and so did compressing its pixels twice: a PDF image may carry its rows
exactly as a PNG file does (each led by its filter, the whole deflated), so one
``png_stream`` makes both the PNG file and the PDF page, losslessly, and memory
stays at one page.

>>> import io
>>> import numpy as np
>>> from PIL import Image
>>> rgba = np.arange(240, 0, -10, dtype=np.uint8).reshape(2, 3, 4)
>>> stream = png_stream(rgba)
>>> np.array_equal(np.asarray(Image.open(io.BytesIO(png_file(stream, 3, 2, 72)))), rgba[..., :3])
True
>>> out = io.BytesIO()
>>> with RasterPdf(out) as pdf:
...     pdf.add_page(stream, width=3, height=2, dpi=72)
>>> data = out.getvalue()
>>> data.startswith(b"%PDF-1.4") and data.rstrip().endswith(b"%%EOF"), data.count(b"/Type /Page ")
(True, 1)
"""

import struct
import zlib

import numpy as np

__all__ = ["png_stream", "png_file", "RasterPdf"]

_PAGES = 2  # object number of the page tree, written last when its pages are known
_UP = 2     # PNG filter: each byte minus the one above it
# Level 1 with the Up filter: as small as the former PNGs (level 3, filters chosen row by row), in a third of the time.
_LEVEL = 1


def png_stream(rgba):
    """The deflated rows of an RGBA picture (height x width x 4 bytes, rows from the top) as RGB
    with the Up filter: the data of a PNG's IDAT chunk and of a PDF image with the PNG predictor.
    The alpha channel is dropped: figures are opaque."""
    from PIL import Image  # matplotlib's own dependency: drops the alpha channel far faster than numpy

    height, width = np.shape(rgba)[:2]
    rgb = Image.frombuffer("RGBA", (width, height), rgba, "raw", "RGBA", 0, 1).convert("RGB").tobytes()
    rgb = np.frombuffer(rgb, np.uint8).reshape(height, 3 * width)
    rows = np.empty((height, 1 + 3 * width), np.uint8)
    rows[:, 0] = _UP
    rows[0, 1:] = rgb[0]
    np.subtract(rgb[1:], rgb[:-1], out=rows[1:, 1:])   # wraps modulo 256, as the filter does
    return zlib.compress(rows, _LEVEL)


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_file(stream, width, height, dpi):
    """The bytes of a PNG file of 8-bit RGB pixels from ``png_stream``, marked with ``dpi``."""
    per_metre = round(dpi / 0.0254)
    return (b"\x89PNG\r\n\x1a\n"
            + _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + _chunk(b"pHYs", struct.pack(">IIB", per_metre, per_metre, 1))
            + _chunk(b"IDAT", stream) + _chunk(b"IEND", b""))


class RasterPdf:
    """Pages of 8-bit RGB pixels into the binary file object ``f``; ``close`` finishes the file."""

    def __init__(self, f):
        self.f = f
        self.offsets = {}
        self.pages = []
        self.next = _PAGES + 1
        self.pos = 0
        self._write(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        if exc_type is None:
            self.close()

    def _write(self, data):
        self.f.write(data)
        self.pos += len(data)

    def _object(self, number, body, stream=None):
        self.offsets[number] = self.pos
        self._write(b"%d 0 obj\n" % number + body)
        if stream is not None:
            self._write(b"\nstream\n" + stream + b"\nendstream")
        self._write(b"\nendobj\n")

    def _new(self):
        self.next += 1
        return self.next - 1

    def add_page(self, stream, width, height, dpi):
        """One page showing the pixels of ``stream`` (from ``png_stream``, ``width`` x ``height``) at ``dpi``."""
        w_pt, h_pt = width * 72 / dpi, height * 72 / dpi
        image, content, page = self._new(), self._new(), self._new()
        self._object(image, b"<< /Type /XObject /Subtype /Image /Width %d /Height %d "
                            b"/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode "
                            b"/DecodeParms << /Predictor 15 /Colors 3 /BitsPerComponent 8 /Columns %d >> "
                            b"/Length %d >>" % (width, height, width, len(stream)), stream)
        draw = b"q %.4f 0 0 %.4f 0 0 cm /Im Do Q" % (w_pt, h_pt)
        self._object(content, b"<< /Length %d >>" % len(draw), draw)
        self._object(page, b"<< /Type /Page /Parent %d 0 R /MediaBox [0 0 %.4f %.4f] "
                           b"/Resources << /XObject << /Im %d 0 R >> >> /Contents %d 0 R >>"
                           % (_PAGES, w_pt, h_pt, image, content))
        self.pages.append(page)

    def close(self):
        kids = b" ".join(b"%d 0 R" % p for p in self.pages)
        self._object(_PAGES, b"<< /Type /Pages /Kids [%s] /Count %d >>" % (kids, len(self.pages)))
        self._object(1, b"<< /Type /Catalog /Pages %d 0 R >>" % _PAGES)
        xref = self.pos
        count = self.next
        rows = [b"0000000000 65535 f \n"]
        for number in range(1, count):
            rows.append(b"%010d 00000 n \n" % self.offsets[number])
        self._write(b"xref\n0 %d\n" % count + b"".join(rows))
        self._write(b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (count, xref))
