"""``python -m QorvelAPI.devhost``: the same as the ``qorvel-plugin`` command."""

import sys

from .cli import main

sys.exit(main())
