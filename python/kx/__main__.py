"""`python -m kx` runs the command line."""
from kx.cli import entry

entry()
