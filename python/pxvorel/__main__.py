"""``python -m pxvorel``: the command line."""

from pxvorel.cli import main

raise SystemExit(main())
