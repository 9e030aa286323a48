"""A board in the browser: replay a PGN file's games, watch games as they are played (and a
training run's learning curve), and play against any match player.

``vantor view`` starts it from the command line; ``Viewer`` serves it from a program, and
``GameFeed`` carries the games a program plays to the pages that watch them. The server
(Starlette under uvicorn) comes with the ``view`` extra: ``pip install 'vantor[view]'``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from vantor_gym.view.feed import GameFeed, Top, top_moves

if TYPE_CHECKING:
    from vantor_gym.view.server import Viewer, make_app

__all__ = ["GameFeed", "Top", "Viewer", "make_app", "top_moves"]


def __getattr__(name: str) -> Any:
    # The server's libraries load only when a server is asked for.
    if name in ("Viewer", "make_app"):
        try:
            from vantor_gym.view import server
        except ImportError as error:
            raise ImportError(f"the viewer needs Starlette and uvicorn (pip install 'vantor[view]'): {error}") from None
        return getattr(server, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
