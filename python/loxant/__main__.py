"""``python -m loxant``: the ``loxant`` command."""

import sys

from .cli import main

sys.exit(main())
