"""python3 -m corvane: the `corvane` command."""

import sys

from .cli import main

sys.exit(main())
