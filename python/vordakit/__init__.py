"""vordakit: the companion toolkit of VORDA.

It turns station files into VORDA input series and checks them, runs the
built ``vorda`` program without its dialogue, and turns its result files into
tables, trends and plots. It drives ``vorda`` as a process and never computes
what ``vorda`` computes.
"""

__version__ = "0.1.0"
