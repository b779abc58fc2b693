"""Allows ``python3 -m vordakit`` from the source tree."""

import sys

from vordakit.cli import main

sys.exit(main())
