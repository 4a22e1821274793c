"""`python -m kx` runs the command line."""
import sys

from kx.cli import main

sys.exit(main())
