"""The viewer's web application (Starlette) and its server (uvicorn, on a thread of its own).

Only the PGN file, the run directory and the player spec given here are ever read or
started: no path comes from the browser. A server bound to a loopback address answers
only requests addressed to it by that name (so a web page cannot reach it by rebinding a
name of its own); one bound elsewhere needs the token, which the first page presents as
``?token=`` and then keeps as a cookie. WebSockets are refused from pages of other origins.
"""

from __future__ import annotations

import asyncio
import hmac
import ipaddress
import json
import os
import pathlib
import re
import secrets
import socket
import threading
import time
from collections.abc import Awaitable, Callable, MutableMapping, Sequence
from importlib import resources
from typing import Any
from urllib.parse import parse_qs

import numpy as np

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, PlainTextResponse, RedirectResponse, Response
from starlette.routing import Route, WebSocketRoute
from starlette.websockets import WebSocket, WebSocketDisconnect

from vantor_gym import render
from vantor_gym._numbers import integer, real
from vantor_gym.notation import pgn, read_pgn_columns, read_pgn_games
from vantor_gym.rules import rules_of
from vantor_gym.train.log import read_log
from vantor_gym.view.feed import FeedGame, GameFeed
from vantor_gym.view.lines import Line, line_pgn
from vantor_gym.view.play import PlaySession

__all__ = ["Viewer", "make_app"]

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]

PAGE_SIZE = 50  # games a page of the replay list shows
TICK = 0.02  # seconds between a watching page's updates: up to 50 a second
PAUSE = 1.5  # seconds a finished game stays on a page that follows the newest game
MAX_PLAYS = 16  # games against the player at once, one per page
MAX_MESSAGE = 4096  # bytes of one message from a page
TOKEN_COOKIE = "vantor_token"
PAGES = ("replay", "watch", "play")
# The names a server bound to a loopback address answers to (with its own address).
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")


class ViewError(ValueError):
    """A request the viewer refuses; its text is shown on the page."""


def _static(name: str) -> str:
    return (resources.files("vantor_gym.view") / "static" / name).read_text(encoding="utf-8")


def _page_html(page: str, pages: list[str]) -> str:
    """The page's HTML: its script, the twelve piece symbols of ``board_svg`` and the
    square colours, so that the page draws boards as ``board_svg`` does."""
    light, dark = render._LIGHT, render._DARK
    mark = render._MARK * render._MARK_ALPHA
    colours = {"light": render._hex(light), "dark": render._hex(dark),
               "lightMarked": render._hex(light * (1 - render._MARK_ALPHA) + mark),
               "darkMarked": render._hex(dark * (1 - render._MARK_ALPHA) + mark)}
    symbols = "".join(render._svg_piece(code) for code in range(12))
    settings = json.dumps({"page": page, "pages": pages, "colours": colours})
    return (_static("page.html").replace("{{TITLE}}", page.capitalize())
            .replace("{{SETTINGS}}", settings.replace("<", "\\u003c"))
            .replace("{{SYMBOLS}}", symbols))


def _number(text: str | None, name: str, default: int, low: int, high: int) -> int:
    if text is None:
        return default
    if not (text.isascii() and text.isdigit()) or len(text) > 9 or not low <= int(text) <= high:
        raise ViewError(f"{name} must be a whole number in {low} .. {high}")
    return int(text)


class _Games:
    """The games of a PGN file, read once with the bulk reader."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.columns = read_pgn_columns(pathlib.Path(path), on_error="skip")

    def page(self, page: int, size: int) -> dict[str, object]:
        total = len(self.columns)
        rows = []
        for index in range(page * size, min(total, (page + 1) * size)):
            tags = self.columns.headers[index]
            rows.append({"index": index, **{k.lower(): tags.get(k, "?") for k in ("White", "Black", "Event", "Date")},
                         "result": self.columns.result_texts[index],
                         "plies": int(self.columns.offsets[index + 1] - self.columns.offsets[index])})
        return {"total": total, "page": page, "pages": max(1, -(-total // size)), "size": size, "games": rows,
                "skipped": len(self.columns.skipped), "file": os.path.basename(self.path)}

    def game(self, index: int) -> dict[str, object]:
        game = self.columns.game(index)
        line = Line(game.start_fen, chess960=game.chess960)
        moves = [line.move(action) for action in game.actions]
        return {"index": index, "headers": game.headers, "start": line.start, "result": game.result,
                "ending": line.ending(game.result), "moves": [m for m in moves if m is not None]}

    def pgn(self, index: int) -> str:
        game = self.columns.game(index)
        try:
            return pgn(game.actions, start_fen=game.start_fen, result=game.result, headers=game.headers,
                       chess960=game.chess960)
        except ValueError:
            # A game played on past an ending nobody claimed (a third repetition), as recorded.
            return line_pgn(game.headers, self.game(index)["moves"], game.result)  # type: ignore[arg-type]


class _Watcher:
    """What one watching page has been sent of the game it follows."""

    def __init__(self) -> None:
        self.chosen: int | None = None  # the game the page asked for; None follows the newest
        self.shown: int | None = None
        self.sent = 0
        self.line = Line()
        self.result: str | None = None
        self.ended_at = 0.0
        self.summary: object = None

    def pick(self, feed: GameFeed, now: float) -> int | None:
        if self.chosen is not None and self.chosen in feed.numbers():
            return self.chosen
        self.chosen = None
        if self.shown is not None and self.result is None and self.shown in feed.numbers():
            return self.shown
        if self.shown is not None and self.result is not None and now - self.ended_at < PAUSE:
            return self.shown
        return feed.newest(playing=True) or feed.newest()

    def update(self, game: FeedGame, now: float) -> dict[str, object] | None:
        fresh = game.number != self.shown
        if fresh:
            self.shown, self.sent, self.line, self.result = (game.number, 0, Line(game.start_fen, chess960=game.chess960),
                                                             None)
        moves = [m for m in (self.line.move(a, t) for a, t in zip(game.actions, game.tops)) if m is not None]
        self.sent += len(game.actions)
        if not fresh and not moves and game.result == self.result:
            return None
        if game.result is not None and self.result is None:
            self.ended_at = now
        self.result = game.result
        message: dict[str, object] = {"type": "game" if fresh else "moves", "number": game.number,
                                      "moves": moves, "result": game.result, "ending": self.line.ending(game.result)}
        if fresh:
            message.update(white=game.white, black=game.black, start=self.line.start)
        return message


class _RunGames:
    """The games a training run appends to its ``games.pgn``, read into a feed of their own
    as they come: a game is read once the next one starts, or once the file has not grown
    for a few seconds (so a game being written is not read half-way)."""

    TAIL = 1 << 20  # bytes read back from the end of a file that is already long
    EVERY = 1.0  # seconds between looks at the file
    QUIET = 3.0  # seconds without growth after which the last game is taken as whole
    KEPT = 256  # bytes before the offset compared at each look, to see a file written anew

    def __init__(self, path: str) -> None:
        self.path, self.feed = path, GameFeed()
        self.offset, self.checked, self.grown, self.size = -1, 0.0, 0.0, -1
        self.aligned = False  # whether the offset is at the start of a game
        self.identity: tuple[int, int] | None = None  # the file read: another is read from its start
        self.before = b""  # the bytes just before the offset: others there mean the file was rewritten
        self._lock = threading.Lock()

    def due(self) -> bool:
        return time.monotonic() - self.checked >= self.EVERY

    def poll(self) -> None:
        with self._lock:
            now = self.checked = time.monotonic()
            try:
                stat = os.stat(self.path)
                size, identity = stat.st_size, (stat.st_dev, stat.st_ino)
                if size != self.size:
                    self.size, self.grown = size, now
                if identity != self.identity or not self._same_before(size):
                    # The first look, a file put in its place, or the same file written anew.
                    self.offset, self.identity, self.before = -1, identity, b""
                if self.offset < 0 or size < self.offset:  # read anew, or a file started again
                    self.offset, self.before = max(0, size - self.TAIL), b""
                    self.aligned = self.offset == 0
                if size > self.offset:
                    self._read(size, now)
            except (OSError, ValueError):
                return  # a file being replaced, or not a file: the next poll looks again

    def _same_before(self, size: int) -> bool:
        if not self.before or size < self.offset or self.offset < len(self.before):
            return True  # nothing read yet, or a file started again (the offset check sees it)
        with open(self.path, "rb") as source:
            source.seek(self.offset - len(self.before))
            return source.read(len(self.before)) == self.before

    def _pass_over(self, data: bytes) -> None:
        # Its last two bytes are read again: a blank line there may begin the next game's start.
        self.offset, self.aligned, self.before = self.offset + max(1, len(data) - 2), False, b""

    def _read(self, size: int, now: float) -> None:
        with open(self.path, "rb") as source:
            source.seek(self.offset)
            data = source.read(min(size - self.offset, 8 * self.TAIL))
        starts = [m.end() - 1 for m in _GAME_START.finditer(data)]
        start = 0
        whole_read = len(data) == 8 * self.TAIL
        if not self.aligned:  # read back into the middle of a game: from the next one on
            if not starts:
                if whole_read:
                    self._pass_over(data)
                return
            start = starts.pop(0)
        end = starts[-1] if starts else start
        if end <= start and whole_read:
            if start > 0:  # a game starts in this read: the next read begins with it
                self.offset, self.aligned, self.before = self.offset + start, True, b""
            else:  # a game longer than a read: the reading goes on from the next one
                self._pass_over(data)
            return
        if end <= start:
            # The last game, once the file has stopped growing with its result written: a
            # writer killed half-way, or a slow one, leaves no result at the end.
            if now - self.grown < self.QUIET or not _ENDS_WITH_RESULT.search(b" " + data[start:].rstrip()[-8:]):
                return
            end = len(data)
        self.offset += end
        self.aligned = True
        self.before = data[max(start, end - self.KEPT):end]
        for game in read_pgn_games(data[start:end], on_error="skip"):
            tags = game.headers
            try:
                self.feed.add(game.actions, game.result, tags.get("White", "?"), tags.get("Black", "?"),
                              game.start_fen, chess960=game.chess960)
            except ValueError:
                continue  # a start the feed refuses (a position drawn under chess's rules): the others still go in


# A game's last token, its result, then only blanks: a whole game's end.
_ENDS_WITH_RESULT = re.compile(rb"\s(?:1-0|0-1|1/2-1/2|\*)\Z")

# A blank line, then a header: where the next game of a PGN file starts.
_GAME_START = re.compile(rb"\n\r?\n\[")


def _sendable(record: dict[str, Any]) -> bool:
    """Whether JSON can carry the record to a page (no NaN or infinity anywhere in it)."""
    try:
        json.dumps(record, allow_nan=False)
    except (ValueError, TypeError, RecursionError):
        return False
    return True


class _Viewer:
    """The application's state: what the command line named, and the games being played."""

    def __init__(self, pgn_path: str | None, run: str | None, play: str | None, feed: GameFeed | None,
                 movetime: float | None, seed: int | None, rules: str = "standard", chess960: bool = False) -> None:
        self.games = None if pgn_path is None else _Games(pgn_path)
        self.run, self.spec, self.feed = run, play, feed
        self.run_games = None
        if run is not None and feed is None:
            self.run_games = _RunGames(os.path.join(run, "games.pgn"))
            self.feed = self.run_games.feed
        self.movetime, self.seed, self.rules, self.chess960 = movetime, seed, rules, chess960
        self.plays = 0
        self.plays_lock = threading.Lock()
        self.curve_seen: tuple[float, int] | None = None
        self.curve: list[dict[str, Any]] = []
        self.curve_lock = threading.Lock()

    def pages(self) -> list[str]:
        have = {"replay": self.games is not None, "watch": self.feed is not None or self.run is not None,
                "play": self.spec is not None}
        return [page for page in PAGES if have[page]]

    def read_curve(self) -> list[dict[str, Any]]:
        if self.run is None:
            return []
        path = os.path.join(self.run, "log.jsonl")
        with self.curve_lock:
            try:
                stat = os.stat(path)
                if (stat.st_mtime, stat.st_size) != self.curve_seen:
                    self.curve = [r for r in read_log(path) if _sendable(r)]
                    self.curve_seen = (stat.st_mtime, stat.st_size)
            except OSError:
                return []  # gone, or not a file: the next poll looks again
            return self.curve


def _json(payload: object, status: int = 200) -> Response:
    return JSONResponse(payload, status_code=status, headers={"Cache-Control": "no-store"})


def _refused(error: Exception, status: int = 400) -> Response:
    return _json({"error": str(error)}, status)


def make_app(*, pgn: str | os.PathLike[str] | None = None, run: str | os.PathLike[str] | None = None,
             play: str | None = None, feed: GameFeed | None = None, token: str | None = None,
             hosts: Sequence[str] | None = LOOPBACK_NAMES, movetime: float | None = None,
             seed: int | None = None, rules: str = "standard", chess960: bool = False) -> Any:
    """The viewer's ASGI application: the replay page for the games of the PGN file ``pgn``,
    the watch page for the games of ``feed`` and the learning curve of the training run in
    directory ``run``, and the play page against the player spec ``play``, whose games are
    played under ``rules`` (``vantor_gym.rules``; replayed and watched games are written
    under standard rules, which take every legal move a recorded game made), and in
    Chess960 with ``chess960``; replayed and watched Chess960 games are shown as such. With ``token``
    every request must present it; with ``hosts`` only requests addressed to one of those
    names are answered (``None`` answers any). The arguments and files are checked here:
    ``TypeError``, ``ValueError`` or ``OSError`` before anything is served."""
    if feed is not None and not isinstance(feed, GameFeed):
        raise TypeError(f"feed must be a GameFeed, not {type(feed).__name__}")
    if movetime is not None and real(movetime, "movetime") <= 0:
        raise ValueError(f"movetime must be above 0 seconds, not {movetime}")
    if seed is not None:
        integer(seed, "seed", 0)
    if pgn is None and run is None and play is None and feed is None:
        raise ValueError("nothing to view: give a PGN file, a run directory, a player to play, or a feed")
    if run is not None and not os.path.isdir(run):
        raise NotADirectoryError(f"no run directory at {os.fspath(run)!r}")
    rules = rules_of(rules)
    if not isinstance(chess960, (bool, np.bool_)):
        raise TypeError(f"chess960 must be a bool, not {type(chess960).__name__}")
    if play is not None:
        # A bad spec, or one the rules refuse, is refused before serving.
        PlaySession(play, movetime=movetime, seed=seed, rules=rules, chess960=bool(chess960)).close()
    state = _Viewer(None if pgn is None else os.fspath(pgn), None if run is None else os.fspath(run), play, feed,
                    movetime, seed, rules, bool(chess960))
    routes = [Route("/", _index), Route("/static/{name}", _asset), Route("/favicon.ico", _no_icon),
              Route("/api/games", _game_list), Route("/api/games/{index}", _game),
              Route("/api/games/{index}/pgn", _game_pgn), Route("/api/curve", _curve),
              WebSocketRoute("/ws/watch", _watch), WebSocketRoute("/ws/play", _play)]
    routes += [Route(f"/{page}", _page) for page in PAGES]
    app = Starlette(routes=routes)
    app.state.viewer = state
    return _Guard(app, token, None if hosts is None else frozenset(hosts))


def _viewer(request: Request | WebSocket) -> _Viewer:
    viewer: _Viewer = request.app.state.viewer
    return viewer


async def _index(request: Request) -> Response:
    return RedirectResponse(f"/{_viewer(request).pages()[0]}", status_code=307)


async def _page(request: Request) -> Response:
    page = request.url.path.strip("/")
    pages = _viewer(request).pages()
    if page not in pages:
        return PlainTextResponse(f"this viewer has no {page} page: it was started without what it shows", 404)
    return HTMLResponse(_page_html(page, pages), headers={"Cache-Control": "no-store"})


async def _no_icon(request: Request) -> Response:
    return Response(status_code=204)


_ASSETS = {"viewer.js": "text/javascript", "viewer.css": "text/css"}


async def _asset(request: Request) -> Response:
    name = request.path_params["name"]
    if name not in _ASSETS:
        return PlainTextResponse("not found", 404)
    return Response(_static(name), media_type=_ASSETS[name])


async def _game_list(request: Request) -> Response:
    games = _viewer(request).games
    if games is None:
        return _refused(ViewError("this viewer was started without a PGN file"), 404)
    try:
        size = _number(request.query_params.get("size"), "size", PAGE_SIZE, 1, 500)
        page = _number(request.query_params.get("page"), "page", 0, 0, 10**8)
    except ViewError as error:
        return _refused(error)
    return _json(games.page(page, size))


def _game_index(request: Request) -> tuple[_Games, int]:
    games = _viewer(request).games
    if games is None:
        raise ViewError("this viewer was started without a PGN file")
    total = len(games.columns)
    try:
        index = _number(request.path_params["index"], "a game number", 0, 0, max(total - 1, 0))
    except ViewError:
        raise ViewError(f"there is no game {request.path_params['index'][:20]!r}: the file has {total}") from None
    if index >= total:
        raise ViewError(f"there is no game {index}: the file has none")
    return games, index


async def _game(request: Request) -> Response:
    try:
        games, index = _game_index(request)
    except ViewError as error:
        return _refused(error, 404)
    return _json(await asyncio.to_thread(games.game, index))


async def _game_pgn(request: Request) -> Response:
    try:
        games, index = _game_index(request)
    except ViewError as error:
        return _refused(error, 404)
    text = await asyncio.to_thread(games.pgn, index)
    return Response(text, media_type="application/x-chess-pgn",
                    headers={"Content-Disposition": f'attachment; filename="game-{index + 1}.pgn"'})


async def _curve(request: Request) -> Response:
    viewer = _viewer(request)
    return _json({"records": await asyncio.to_thread(viewer.read_curve)})


def _message(event: MutableMapping[str, Any], kinds: tuple[str, ...]) -> dict[str, Any]:
    """A page's message: JSON text, an object whose ``type`` is one of ``kinds``."""
    text = event.get("text")
    if not isinstance(text, str) or len(text) > MAX_MESSAGE:
        raise ViewError(f"a message is JSON text of at most {MAX_MESSAGE} characters")
    try:
        message = json.loads(text)
    except ValueError:
        raise ViewError("a message is JSON text") from None
    if not isinstance(message, dict) or message.get("type") not in kinds:
        raise ViewError(f"a message is an object whose type is one of {', '.join(kinds)}")
    return message


async def _watch(ws: WebSocket) -> None:
    viewer = _viewer(ws)
    await ws.accept()
    watcher, closed = _Watcher(), asyncio.Event()

    async def read() -> None:
        try:
            while True:
                event = await ws.receive()
                if event["type"] == "websocket.disconnect":
                    return
                try:
                    message = _message(event, ("follow",))
                    chosen = message.get("game")
                    if chosen is not None and (not isinstance(chosen, int) or isinstance(chosen, bool)):
                        raise ViewError("follow names a game by its number, or null for the newest")
                    watcher.chosen = chosen
                except ViewError as error:
                    await ws.send_json({"type": "error", "message": str(error)})
        finally:
            closed.set()

    reader = asyncio.create_task(read())
    try:
        await _send_watched(ws, viewer, watcher, closed)
    except (WebSocketDisconnect, RuntimeError, OSError):
        pass  # the page went away
    finally:
        reader.cancel()


async def _send_watched(ws: WebSocket, viewer: _Viewer, watcher: _Watcher, closed: asyncio.Event) -> None:
    last_summary = 0.0
    while not closed.is_set():
        if viewer.run_games is not None and viewer.run_games.due():
            await asyncio.to_thread(viewer.run_games.poll)
        now = time.monotonic()
        feed = viewer.feed
        if feed is not None:
            number = watcher.pick(feed, now)
            game = None if number is None else feed.read(number, watcher.sent if number == watcher.shown else 0)
            message = None if game is None else watcher.update(game, now)
            if message is not None:
                await ws.send_json(message)
            if now - last_summary >= 0.5:
                last_summary = now
                summary = feed.summary()[-20:]
                if summary != watcher.summary:
                    watcher.summary = summary
                    await ws.send_json({"type": "games", "games": summary})
        try:
            await asyncio.wait_for(closed.wait(), TICK)
        except TimeoutError:
            pass


async def _in_thread(function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """``function(*args, **kwargs)`` on a daemon thread of its own, awaited: a player that
    thinks long takes no thread of the loop's shared pool, and does not hold up the exit."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()

    def settle(outcome: Any, error: BaseException | None) -> None:
        if not future.done():
            future.set_exception(error) if error is not None else future.set_result(outcome)

    def run() -> None:
        try:
            outcome, error = function(*args, **kwargs), None
        except BaseException as caught:  # handed to the awaiting coroutine
            outcome, error = None, caught
        try:
            loop.call_soon_threadsafe(settle, outcome, error)
        except RuntimeError:
            pass  # the server has stopped: nobody is waiting

    threading.Thread(target=run, name="vantor-view-play", daemon=True).start()
    return await future


async def _play(ws: WebSocket) -> None:
    viewer = _viewer(ws)
    if viewer.spec is None:
        await ws.close(code=1008, reason="this viewer was started without a player to play")
        return
    await ws.accept()
    with viewer.plays_lock:
        full = viewer.plays >= MAX_PLAYS
        viewer.plays += not full
    if full:
        await ws.send_json({"type": "error", "message": f"{MAX_PLAYS} games are going on already: "
                                                            "close one of their pages first"})
        await ws.close()
        return
    session = None
    inbox: asyncio.Queue[MutableMapping[str, Any]] = asyncio.Queue(maxsize=64)
    gone = asyncio.Event()
    reader = asyncio.create_task(_read_into(ws, inbox, gone))
    try:
        # Awaited to the end even if the page goes meanwhile, so that what is made is closed.
        session = await _in_thread(PlaySession, viewer.spec, movetime=viewer.movetime, seed=viewer.seed,
                                   rules=viewer.rules, chess960=viewer.chess960)
        await ws.send_json(await _in_thread(session.shown))
        await _play_loop(ws, session, inbox, gone)
    except (_Gone, WebSocketDisconnect, OSError, asyncio.CancelledError):
        pass  # the page went away, or the server is stopping
    except Exception as error:  # the player failed (a UCI engine that quit): the page is told
        await _tell(ws, {"type": "error", "message": f"the player failed: {error}"})
    finally:
        reader.cancel()
        with viewer.plays_lock:
            viewer.plays -= 1
        if session is not None:
            session.abort()  # a UCI engine stops thinking now; close waits for a move being chosen
            threading.Thread(target=session.close, name="vantor-view-close", daemon=True).start()


class _Gone(Exception):
    """The page closed while the server waited for something else."""


async def _read_into(ws: WebSocket, inbox: asyncio.Queue[MutableMapping[str, Any]], gone: asyncio.Event) -> None:
    """The page's messages into ``inbox`` (a full one stops the reading, and so the page);
    ``gone`` is set when the page closes."""
    try:
        while True:
            event = await ws.receive()
            if event["type"] == "websocket.disconnect":
                return
            await inbox.put(event)
    except (WebSocketDisconnect, RuntimeError, OSError):
        return
    finally:
        gone.set()


async def _unless_gone(awaitable: Awaitable[Any], gone: asyncio.Event) -> Any:
    """What ``awaitable`` gives, or ``_Gone`` as soon as the page closes (the work of a
    thread is then left to finish on its own)."""
    work = asyncio.ensure_future(awaitable)
    closing = asyncio.ensure_future(gone.wait())
    try:
        await asyncio.wait({work, closing}, return_when=asyncio.FIRST_COMPLETED)
    finally:
        closing.cancel()
    if work.done():
        return work.result()
    work.cancel()
    raise _Gone


async def _tell(ws: WebSocket, message: dict[str, object]) -> None:
    try:
        await ws.send_json(message)
        await ws.close()
    except (WebSocketDisconnect, RuntimeError, OSError):
        pass


async def _play_loop(ws: WebSocket, session: PlaySession, inbox: asyncio.Queue[MutableMapping[str, Any]],
                     gone: asyncio.Event) -> None:
    while True:
        event = await _unless_gone(inbox.get(), gone)
        try:
            await _in_thread(session.handle, _message(event, ("new", "move", "undo")))
        except ValueError as error:
            # The page puts the board back as it was: the position comes with the error.
            await ws.send_json({"type": "error", "message": str(error)})
        shown = await _in_thread(session.shown)
        await ws.send_json(shown)
        if not shown["over"] and shown["turn"] != shown["colour"]:
            await ws.send_json({"type": "thinking"})
            # Messages sent meanwhile wait in the inbox; a page that closes ends the wait.
            await _unless_gone(_in_thread(session.reply), gone)
            await ws.send_json(await _in_thread(session.shown))


# A Host header as an authority: a bracketed IPv6 literal or a name without colons, then
# at most a port. Anything else ("[::1].evil.example:80") names no host of this viewer.
_AUTHORITY = re.compile(r"(\[[0-9a-f:.]+\]|[^\[\]:]*)(?::[0-9]{0,5})?", re.IGNORECASE)


def _host_name(host: str) -> str | None:
    """The name of a Host header, without its port ("[::1]:8000" is "[::1]"), in lower
    case; None for a header that is not an authority."""
    match = _AUTHORITY.fullmatch(host)
    return match.group(1).lower() if match else None


class _Guard:
    """Refuses requests addressed to another name (when bound to a loopback address),
    requests without the token (when there is one), and WebSockets from other origins."""

    def __init__(self, app: Any, token: str | None, hosts: frozenset[str] | None) -> None:
        self.app, self.token, self.hosts = app, token, hosts

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope["headers"]}
        problem, from_query = self._problem(scope, headers)
        if problem:
            if scope["type"] == "websocket":
                await WebSocket(scope, receive, send).close(code=1008, reason=problem)
            else:
                await PlainTextResponse(problem, 403)(scope, receive, send)
            return
        if from_query and scope["type"] == "http":
            send = self._with_cookie(send)
        await self.app(scope, receive, send)

    def _problem(self, scope: Scope, headers: dict[str, str]) -> tuple[str, bool]:
        host = headers.get("host", "")
        if self.hosts is not None and _host_name(host) not in self.hosts:
            return "this viewer answers only at its loopback address", False
        origin = headers.get("origin")
        if scope["type"] == "websocket" and origin is not None and origin != f"http://{host}":
            return "WebSockets are taken only from the viewer's own pages", False
        if self.token is None:
            return "", False
        query = parse_qs(scope.get("query_string", b"").decode("latin-1")).get("token", [""])[0]
        cookies = dict(part.strip().partition("=")[::2] for part in headers.get("cookie", "").split(";"))
        for given, from_query in ((query, True), (cookies.get(TOKEN_COOKIE, ""), False)):
            if given and hmac.compare_digest(given.encode(), self.token.encode()):
                return "", from_query
        return "this viewer needs its token: open the address it printed, with ?token=", False

    def _with_cookie(self, send: Send) -> Send:
        cookie = f"{TOKEN_COOKIE}={self.token}; Path=/; HttpOnly; SameSite=Strict".encode()

        async def sending(message: MutableMapping[str, Any]) -> None:
            if message["type"] == "http.response.start":
                message = {**message, "headers": [*message.get("headers", []), (b"set-cookie", cookie)]}
            await send(message)

        return sending


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Viewer:
    """The viewer served by uvicorn on a thread of its own, for as long as the ``with``
    block (or until ``close``). ``port`` 0 takes a free port; ``url`` is the address to
    open (with the token, if there is one). Bound elsewhere than a loopback address, it
    needs a token: one is made when none is given. The socket is bound when the viewer is
    made, so a port in use is an ``OSError`` before anything runs. The other arguments are
    ``make_app``'s (``rules``: the play page's)."""

    def __init__(self, *, pgn: str | os.PathLike[str] | None = None, run: str | os.PathLike[str] | None = None,
                 play: str | None = None, feed: GameFeed | None = None, host: str = "127.0.0.1", port: int = 8000,
                 token: str | None = None, movetime: float | None = None, seed: int | None = None,
                 rules: str = "standard", chess960: bool = False) -> None:
        import uvicorn

        port = integer(port, "port", 0, 65535)
        if not isinstance(host, str) or not isinstance(token, (str, type(None))):
            raise TypeError("host and token are str")
        host = (host[1:-1] if host.startswith("[") and host.endswith("]") else host).lower()
        if not host:
            raise ValueError("host is an address or a name: 0.0.0.0 serves every address (with a token)")
        local = is_loopback(host)
        if token is None and not local:
            token = secrets.token_urlsafe(16)
        if token is not None and (not token.isascii() or not token.isprintable() or len(token) < 8
                                  or any(c in token for c in ";,= \"")):
            raise ValueError("a token is at least 8 printable ASCII characters, without ; , = or blanks")
        hosts = (*LOOPBACK_NAMES, f"[{host}]" if ":" in host else host) if local else None
        app = make_app(pgn=pgn, run=run, play=play, feed=feed, token=token, hosts=hosts, movetime=movetime, seed=seed,
                       rules=rules, chess960=chess960)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._socket = socket.socket(family, socket.SOCK_STREAM)
        try:
            self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            # Accepted connections inherit it: a page's small messages go at once, not after
            # the browser's delayed acknowledgement (some 40 ms a move).
            self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._socket.bind((host, port))
            self._socket.listen(64)
        except OSError:
            self._socket.close()
            raise
        self.port: int = self._socket.getsockname()[1]
        self.host, self.token = host, token
        self.url = self.address()
        config = uvicorn.Config(app, log_level="warning", ws_max_size=1 << 16, lifespan="off",
                                timeout_graceful_shutdown=1)
        self._server = uvicorn.Server(config)
        self._thread = threading.Thread(target=self._server.run, kwargs={"sockets": [self._socket]},
                                        name="vantor-view", daemon=True)
        self._thread.start()
        while not self._server.started and self._thread.is_alive():
            time.sleep(0.01)
        if not self._server.started:
            self._socket.close()
            raise OSError("the viewer's server did not start")

    def address(self, page: str = "") -> str:
        """The address of ``page`` (``"replay"``, ``"watch"``, ``"play"``; the first of them by
        default), with the token if there is one."""
        shown = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{shown}:{self.port}/{page}" + (f"?token={self.token}" if self.token else "")

    def close(self) -> None:
        self._server.should_exit = True
        self._thread.join(10)
        self._socket.close()

    def __enter__(self) -> Viewer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
