"""``python -m velquor``: the same as the ``velquor`` command."""

import sys

from velquor.cli import main

sys.exit(main())
