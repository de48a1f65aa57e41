import sys

from .tools.cli import main

sys.exit(main())
