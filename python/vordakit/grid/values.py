"""A cell's values as vorda is to read them: the decimals they hold, their units, what marks them missing.

Values are taken as the decimals the file holds, as a station file's text
is: a float32 20.1 is 20.1; packed values are rounded to the decimals of
their scale and offset, converted temperatures to those of the file's value
(at least two), converted precipitation fluxes to four. Points holding the
netCDF default fill of a variable without ``_FillValue`` and values outside
its valid range are missing.
"""

import numpy as np

from vordakit import binding
from vordakit.errors import KitError

__all__ = ["TEMPERATURE_UNITS", "FLUX_UNITS", "FLUX_DECIMALS", "decimal_values", "packed_decimals",
           "round_to", "unit_conversion", "invalid_rule", "mask_invalid", "celsius_of_kelvin", "cell_values"]

TEMPERATURE_UNITS = {"degc": "degC", "deg_c": "degC", "degrees_c": "degC", "degree_c": "degC",
                     "celsius": "degC", "degrees_celsius": "degC", "°c": "degC",
                     "k": "K", "kelvin": "K", "degk": "K", "deg_k": "K", "degrees_k": "K"}
FLUX_UNITS = {"kg m-2 s-1": "flux", "kg/m2/s": "flux", "kg m**-2 s**-1": "flux", "kg/m^2/s": "flux",
              "kg m^-2 s^-1": "flux", "kg.m-2.s-1": "flux",
              "mm/day": "mm/day", "mm/d": "mm/day", "mm day-1": "mm/day", "mm d-1": "mm/day", "mm": "mm/day"}
# The decimals kept of a precipitation flux in mm/day.
FLUX_DECIMALS = 4
# The powers of ten that are exact doubles.
_POWERS = 10.0 ** np.arange(23)


def decimal_values(x, least=0):
    """The decimals a float array holds: (float64 values, decimals per value).

    Each value becomes the shortest decimal that reads back as the same
    number in the array's own precision, as the double that text reads as;
    NaN stays NaN with 0 decimals. With ``least``, fewer decimals than that
    count as ``least`` (the values are the same).

    >>> v, d = decimal_values(np.array([20.1, 0.25, np.nan], np.float32))
    >>> v.tolist(), d.tolist()
    ([20.1, 0.25, nan], [1, 2, 0])
    """
    x = np.asarray(x)
    flat = x.ravel()
    wide = flat.astype(np.float64)
    out = np.full(flat.shape, np.nan)
    dec = np.zeros(flat.shape, np.int8)
    found = _at_least(flat, wide, least, out) if least > 0 else np.isnan(wide)
    # Only the values still without a form are tried at each number of decimals,
    # kept packed together: most of a grid's values take the same few decimals.
    todo = np.flatnonzero(~found)
    have, own = wide[todo], flat[todo]
    # Fewest decimals first: the first that reads back is the shortest form.
    # Values too small for 23 decimals (below about 1e-15) keep their binary value.
    for d in range(0, 24):
        if not len(todo):
            break
        r = round_to(have, d)
        ok = r.astype(x.dtype) == own
        if ok.all():
            out[todo], dec[todo] = r, d
            todo = todo[:0]
            break
        out[todo[ok]], dec[todo[ok]] = r[ok], d
        left = ~ok
        todo, have, own = todo[left], have[left], own[left]
    out[todo], dec[todo] = wide[todo], 24
    if least > 0:
        np.maximum(dec, least, out=dec)
    return out.reshape(x.shape), dec.reshape(x.shape)


def _at_least(flat, wide, least, out):
    """Which values read back from ``least`` decimals, their value put in ``out``:
    all of the usual grid at once.

    Where a step of 10**-least is many of the values' own steps, the value at
    ``least`` decimals is the one at its shortest number of decimals (fewer, or
    that many), as both are the double nearest the same decimal number.
    """
    r = np.round(wide, least)
    with np.errstate(invalid="ignore"):
        ok = (r.astype(flat.dtype) == flat) & (np.abs(wide) < 2.0 ** (np.finfo(flat.dtype).nmant - 4) / 10 ** least)
    np.copyto(out, r, where=ok)
    return ok | np.isnan(wide)


def round_to(x, decimals):
    """``x`` rounded to ``decimals`` decimals, a number or one per value, each as
    ``np.round`` rounds it (times the power of ten, to the nearest whole, back).

    >>> round_to(np.array([0.125, 2.675, 1.5]), np.array([2, 2, 0])).tolist()
    [0.12, 2.68, 2.0]
    """
    if np.ndim(decimals) == 0:
        return np.round(x, int(decimals))
    decimals = np.asarray(decimals)
    if decimals.size and (decimals == decimals.flat[0]).all():
        return np.round(x, int(decimals.flat[0]))  # the usual grid: one number of decimals
    if (decimals < 0).any() or (decimals > 22).any():
        # Powers of ten beyond 10**22 are not exact doubles: np.round's own steps there.
        out = np.empty(np.shape(x))
        for d in np.unique(decimals):
            sel = decimals == d
            out[sel] = np.round(np.asarray(x)[sel], int(d))
        return out
    scale = _POWERS[decimals]
    return np.rint(x * scale) / scale


def _max_decimals_text(number):
    """Decimals of a scale factor or offset as its own type prints it."""
    text = np.format_float_positional(number, unique=True, trim="-")
    return len(text.split(".", 1)[1]) if "." in text else 0


def packed_decimals(encoding):
    """None, or the decimals of the scale and offset of packed values."""
    if "scale_factor" not in encoding and "add_offset" not in encoding:
        return None
    return max(_max_decimals_text(encoding.get("scale_factor", np.float32(1))),
               _max_decimals_text(encoding.get("add_offset", np.float32(0))))


def unit_conversion(units, wanted, path):
    """(None or what ``cell_values`` converts to, the output's units) for ``--units wanted``."""
    if wanted is None:
        return None, units
    have = units.strip()
    key = have.lower()
    w = wanted.strip()
    if TEMPERATURE_UNITS.get(w.lower()) == "degC":
        kind = TEMPERATURE_UNITS.get(key)
        if kind == "degC":
            return None, "degC"
        if kind == "K":
            return "degC", "degC"
    elif FLUX_UNITS.get(w.lower()) == "mm/day":
        kind = FLUX_UNITS.get(key)
        if kind == "mm/day":
            return None, "mm/day"
        if kind == "flux":
            return "mm/day", "mm/day"
    else:
        raise KitError(None, None, f"--units {wanted!r}: only degC and mm/day are supported")
    raise KitError(path, None, f"units {have or 'none'!r} do not convert to {wanted}")


def _default_fill(encoding):
    """The netCDF default fill of the stored type, where no attribute names a fill of its own."""
    import netCDF4
    if "dtype" not in encoding or "_FillValue" in encoding or "missing_value" in encoding:
        # Without a stored type the values never were in a file.
        return None
    stored = np.dtype(encoding["dtype"])
    if stored.kind not in "fiu" or stored.itemsize == 1:
        return None
    return float(stored.type(netCDF4.default_fillvals[stored.str[1:]]))


def _valid_bounds(attrs, path):
    """(low, high, kinds of the attributes' types) of valid_range, valid_min and valid_max."""
    low = high = None
    kinds = set()
    try:
        if "valid_range" in attrs:
            bounds = np.asarray(attrs["valid_range"]).ravel()
            if len(bounds) != 2:
                raise ValueError
            low, high = float(bounds[0]), float(bounds[1])
            kinds.add(bounds.dtype.kind)
        for name in ("valid_min", "valid_max"):
            if name in attrs:
                value = np.asarray(attrs[name]).ravel()
                if len(value) != 1:
                    raise ValueError
                low, high = (float(value[0]), high) if name == "valid_min" else (low, float(value[0]))
                kinds.add(value.dtype.kind)
    except (TypeError, ValueError):
        raise KitError(path, None, "valid_range, valid_min or valid_max is not a number (two for valid_range)") \
            from None
    return low, high, kinds


def invalid_rule(attrs, encoding, path):
    """What else marks a value missing besides ``_FillValue`` and ``missing_value``
    (which xarray masks): None, or (fill, low, high, scale, offset, raw) for
    ``mask_invalid``.

    A variable without either attribute holds the netCDF default fill of its
    type at points never written, and the netCDF library reads those as
    missing (bytes excepted); ``valid_min``, ``valid_max`` and ``valid_range``
    bound the valid values. Bounds of the stored type are in stored units
    (``raw``: before scale and offset), bounds of a floating type in the
    unpacked ones.
    """
    fill = _default_fill(encoding)
    low, high, kinds = _valid_bounds(attrs, path)
    if fill is None and low is None and high is None:
        return None
    stored = np.dtype(encoding.get("dtype", np.float64))
    packed = "scale_factor" in encoding or "add_offset" in encoding
    scale = float(encoding.get("scale_factor", 1.0))
    offset = float(encoding.get("add_offset", 0.0))
    # Packed whole numbers: bounds of a floating type are in the unpacked units.
    raw = packed and stored.kind in "iu" and not kinds & {"f"}
    return fill, low, high, (scale if packed else 1.0), (offset if packed else 0.0), raw


def mask_invalid(block, rule, part=2**20):
    """The block with the default fill and values outside the valid range made NaN;
    about ``part`` values at a time along the first dimension, so that a chunk's
    values are never all widened at once."""
    block = np.asarray(block)
    if _none_invalid(block, rule):
        return block
    bad = np.zeros(block.shape, bool)
    step = max(1, part // max(1, block[:1].size)) if block.ndim else 1
    for a in range(0, max(1, len(block) if block.ndim else 1), step):
        bad[a:a + step] = _invalid(block[a:a + step], rule)
    if not bad.any():
        return block
    return np.where(bad, np.nan, block).astype(block.dtype, copy=False)


def _none_invalid(block, rule):
    """Whether the values, neither packed nor stored as whole numbers, all lie between the
    bounds and none is the fill: the usual chunk, seen from its smallest and largest value."""
    fill, low, high, scale, offset, raw = rule
    if scale != 1.0 or offset != 0.0 or block.dtype.kind != "f" or not block.size:
        return False
    # Widening is exact and keeps the order: as the values are compared one by one.
    least, most = float(np.fmin.reduce(block, axis=None)), float(np.fmax.reduce(block, axis=None))
    return (least <= most and (fill is None or not least <= fill <= most)
            and (low is None or least >= low) and (high is None or most <= high))


def _invalid(block, rule):
    fill, low, high, scale, offset, raw = rule
    wide = block.astype(np.float64)
    # Packed values back to the whole numbers stored, where fill and bounds are exact.
    stored = np.round((wide - offset) / scale) if scale != 1.0 or offset != 0.0 else wide
    bad = np.zeros(block.shape, bool)
    if fill is not None:
        bad |= stored == fill
    values = stored if raw else wide
    with np.errstate(invalid="ignore"):
        if low is not None:
            bad |= values < low
        if high is not None:
            bad |= values > high
    return bad


def celsius_of_kelvin(x):
    """Float values in K as degC: each value's decimals (at least two) kept, as
    ``round_to(v - 273.15, max(d, 2))`` of ``v, d = decimal_values(x, 2)``;
    (cells, days) float64, C order.

    Most values of a grid in K hold two decimals (273.15 has two): the binding
    takes those in one pass (and the cells out of a file's time-first order),
    and only the others are searched for their decimals.

    >>> celsius_of_kelvin(np.array([[293.25, 273.15, 300.0001, np.nan]], np.float32)).tolist()
    [[20.1, 0.0, 26.8501, nan]]
    """
    # The binding reads the values' bytes as the machine's own floats.
    x = np.asarray(x, x.dtype.newbyteorder("="))
    out, others = binding.require("vordakit grid").celsius_of_kelvin(x)
    if len(others):
        flat = out.reshape(-1)
        _celsius_of_others(np.ravel(x), others, flat)
    return out


def _celsius_of_others(flat, todo, out):
    """``celsius_of_kelvin`` of the values at ``todo`` of ``flat``, by their own decimals, into ``out``."""
    v, dec = decimal_values(flat[todo], 2)
    out[todo] = round_to(v - 273.15, np.maximum(dec, 2))


def cell_values(x, plan):
    """Rows of a chunk as the values vorda is to read: float32 as they are (the
    binding reads their decimals), else float64 decimal doubles; and the
    decimals per value where they had to be found (else None)."""
    if plan.packed_decimals is not None:
        dec = plan.packed_decimals
        x = np.round(x.astype(np.float64), dec)
    elif plan.convert_to is None and plan.fill is None:
        return (x if x.dtype in (np.float32, np.float64) else x.astype(np.float64)), None
    elif plan.convert_to == "degC" and x.dtype in (np.float32, np.float64):
        return celsius_of_kelvin(x), None
    elif x.dtype in (np.float32, np.float64):
        # Converted temperatures keep at least two decimals: fewer need not be found.
        x, dec = decimal_values(x, 2 if plan.convert_to == "degC" else 0)
    else:
        x, dec = x.astype(np.float64), 0
    if plan.convert_to == "degC":
        # 273.15 has two decimals: the difference has those of the value, and at least two.
        x = round_to(x - 273.15, np.maximum(dec, 2))
        dec = None
    elif plan.convert_to == "mm/day":
        x = np.round(x * 86400.0, FLUX_DECIMALS)
        dec = None
    return x, dec
