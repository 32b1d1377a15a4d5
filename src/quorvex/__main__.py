"""python -m quorvex: the quorvex command."""

import sys

from quorvex.cli import main

sys.exit(main())
