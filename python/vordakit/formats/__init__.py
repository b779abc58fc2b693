"""One reader per published layout; ``detect.read_series`` picks the right one."""
