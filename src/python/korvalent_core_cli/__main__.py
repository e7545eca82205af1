"""python -m korvalent_core_cli: the korvalent-core command."""
import sys

from korvalent_core_cli import main

sys.exit(main())
