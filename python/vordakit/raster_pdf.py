"""A PDF of raster pages, written page by page: the PNG pictures gathered in one file.

Drawing every figure a second time for a vector PDF doubled the cost of the
plots; the pages here are the very pixels of the PNGs, losslessly compressed,
so that drawing happens once per figure and memory stays at one page.

>>> import io
>>> out = io.BytesIO()
>>> with RasterPdf(out) as pdf:
...     pdf.add_page(b"\\xff\\x00\\x00" * 6, width=3, height=2, dpi=72)
>>> data = out.getvalue()
>>> data.startswith(b"%PDF-1.4") and data.rstrip().endswith(b"%%EOF"), data.count(b"/Type /Page ")
(True, 1)
"""

import zlib

__all__ = ["RasterPdf"]

_PAGES = 2  # object number of the page tree, written last when its pages are known


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

    def add_page(self, rgb, width, height, dpi):
        """One page showing ``rgb`` (width * height * 3 bytes, rows from the top) at ``dpi``."""
        if len(rgb) != width * height * 3:
            raise ValueError(f"expected {width * height * 3} bytes of RGB, got {len(rgb)}")
        w_pt, h_pt = width * 72 / dpi, height * 72 / dpi
        image, content, page = self._new(), self._new(), self._new()
        pixels = zlib.compress(bytes(rgb), 1)
        self._object(image, b"<< /Type /XObject /Subtype /Image /Width %d /Height %d "
                            b"/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode "
                            b"/Length %d >>" % (width, height, len(pixels)), pixels)
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
