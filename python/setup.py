"""The version of the package is the project's, kept in ../CMakeLists.txt; a
built package carries it in vordakit/_version.py."""

import os
import sys

from setuptools import setup
from setuptools.command.build_py import build_py

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vordakit import __version__  # noqa: E402


class BuildPy(build_py):
    def run(self):
        super().run()
        with open(os.path.join(self.build_lib, "vordakit", "_version.py"), "w", encoding="utf-8") as f:
            f.write(f'version = "{__version__}"\n')


setup(version=__version__, cmdclass={"build_py": BuildPy})
