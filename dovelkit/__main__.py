"""``python -m dovelkit`` runs the ``dovel`` command."""

import sys

from dovelkit.cli import main

sys.exit(main())
