"""The command-line flags that serve a watch page, shared by the commands that play games
(``vantor match``, ``vantor selfplay``) and the one that trains (``vantor train``)."""

from __future__ import annotations

import argparse

from vantor_gym._parsing import whole


def add_view_flags(parser: argparse.ArgumentParser) -> None:
    """--view and --view-port, for the commands whose games a page can watch."""
    parser.add_argument("--view", action="store_true",
                        help="serve a page that watches the games as they are played, and a training run's "
                             "learning curve (needs vantor[view]); its address goes to standard error")
    parser.add_argument("--view-port", type=whole, default=0, metavar="PORT",
                        help="the watch page's port on 127.0.0.1 (default: a free one)")
