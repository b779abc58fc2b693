#!/usr/bin/env python3
"""Writes example/series.txt: ten years (2001-2010) of synthetic daily mean
temperatures in the program's input layout "t d m yr x".

The value of day k is a seasonal cycle plus red noise:
    x = 9.5 - 8.5 * cos(2 pi (doy - 15) / 365.25) + e(k)
    e(k) = 0.75 e(k-1) + 2.2 z(k)
where z(k) is a standard normal deviate from Python's random module seeded
with 1772, rounded to one decimal. Run it from anywhere; it writes beside
itself and always gives the same file.
"""
import datetime
import math
import os
import random


def main():
    rng = random.Random(1772)
    day = datetime.date(2001, 1, 1)
    end = datetime.date(2010, 12, 31)
    noise = 0.0
    lines = []
    t = 1
    while day <= end:
        doy = day.timetuple().tm_yday
        noise = 0.75 * noise + 2.2 * rng.gauss(0.0, 1.0)
        x = 9.5 - 8.5 * math.cos(2 * math.pi * (doy - 15) / 365.25) + noise
        lines.append(f"{t} {day.day} {day.month} {day.year} {x:.1f}\n")
        t += 1
        day += datetime.timedelta(days=1)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "series.txt")
    with open(path, "w", newline="\n") as out:
        out.writelines(lines)


if __name__ == "__main__":
    main()
