"""``python -m dovelkit.cli`` runs the ``dovel`` command."""

import sys

from dovelkit.cli.main import main

sys.exit(main())
