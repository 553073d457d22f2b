#!/usr/bin/env python3
"""Local portfolio analytics service for stratdesk; see README.md beside this file."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from portfolio_analytics.server import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
