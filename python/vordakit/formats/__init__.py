"""One reader per published layout; ``detect.read_series`` picks the right one."""


def mostly(lines, fits):
    """Whether the layout fits the non-blank lines of a file's head.

    Two thirds suffice, so that one bad line near the top still reaches the
    right reader, which then names it, instead of another reader that
    misunderstands the whole file.
    """
    data = [line for line in lines if line.strip()]
    hits = sum(1 for line in data if fits(line))
    return hits > 0 and hits * 3 >= len(data) * 2


def numeric_markers(markers):
    """The missing-value markers that read as numbers, as floats: a value equal to one is missing too."""
    numbers = set()
    for m in markers:
        try:
            numbers.add(float(m))
        except (ValueError, OverflowError):
            pass
    return numbers
