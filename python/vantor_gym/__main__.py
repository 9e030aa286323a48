"""``python -m vantor_gym``: the ``vantor`` command."""

import sys

from vantor_gym.cli import main

sys.exit(main())
