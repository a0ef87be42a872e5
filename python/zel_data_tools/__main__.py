"""python -m zel_data_tools: the zel command."""

import sys

from .cli import main

sys.exit(main())
