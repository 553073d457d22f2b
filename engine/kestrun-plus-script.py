#!/usr/bin/env python3
"""Stand-in backtest engine.  Usage: kestrun-plus-script.py run -s START -e END -f STRATEGY ...

See engine/README.md for the options and the strategy API.
"""

import os
import sys

# Importable from any working directory, with or without PYTHONPATH.
_here = os.path.dirname(os.path.realpath(__file__))
if _here not in sys.path:
    sys.path.insert(0, _here)

from kestrun_standin.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
