"""`python -m zub`: see zub.cli."""

import sys

from zub.cli import main

if __name__ == "__main__":
    sys.exit(main())
