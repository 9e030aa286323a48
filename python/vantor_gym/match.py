"""Matches between players: UCI engines or ``(state, mask) -> action`` callables.

``play_match`` plays games between two agents on a ``BatchEnv`` and returns a
``MatchResult`` with the score, the Elo difference and the PGN of every game::

    from vantor_gym.match import play_match
    from vantor_gym.uci import UciEngine

    with UciEngine("/usr/games/stockfish", {"Skill Level": 0}, depth=1) as stockfish:
        result = play_match(my_agent, stockfish, games=10, max_plies=300)
    print(result)   # wins, draws and losses of my_agent, its score and Elo difference
"""

from __future__ import annotations

import math
import operator
import random
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from statistics import NormalDist
from typing import SupportsIndex, Union

import numpy as np
import numpy.typing as npt

import vantor
from vantor_gym._numbers import integer
from vantor_gym.batch import BatchEnv
from vantor_gym.chess960 import STARTS, chess960_option
from vantor_gym.chess960 import start_fen as chess960_fen
from vantor_gym.fen import read_start
from vantor_gym.notation import Position, action_to_uci, pgn
from vantor_gym.progress import Progress
from vantor_gym.rules import ENDINGS, rules_of
from vantor_gym.uci import UciEngine
from vantor_gym.view.feed import GameFeed

__all__ = ["ENDING_NAMES", "Agent", "GameRecord", "MatchResult", "checked_starts", "elo_difference", "play_match"]

ACTIONS = 4672
# A GameRecord's name for each ending of vantor_gym.rules.ENDINGS.
_ENDING_NAMES = {
    "checkmate": "checkmate",
    "stalemate": "stalemate",
    "insufficient_material": "insufficient material",
    "fifty_moves": "no progress",
    "repetition": "repetition",
    "seventyfive_moves": "seventy-five moves",
    "fivefold_repetition": "fivefold repetition",
    "illegal_action": "illegal action",
    "max_plies": "max plies",
}
ENDING_NAMES = tuple(_ENDING_NAMES[name] for name in ENDINGS)
"""The endings a ``GameRecord`` names, by the environment's ending code less one."""

Agent = Union[Callable[[vantor.State, npt.NDArray[np.bool_]], SupportsIndex], UciEngine]
"""A player: a ``UciEngine``, or a callable given the position (a ``vantor.State``) and
its legal-action mask (a read-only ``bool`` array of 4672) that returns an action."""

_Z95 = NormalDist().inv_cdf(0.975)


def elo_difference(score: float) -> float:
    """The Elo difference that a ``score`` (points per game, 0 to 1) means:
    ``-400 * log10(1 / score - 1)``; ``-inf`` at 0 and ``+inf`` at 1."""
    if not 0.0 <= score <= 1.0:
        raise ValueError(f"a score is in 0..1, not {score}")
    if score == 0.0:
        return -math.inf
    if score == 1.0:
        return math.inf
    return -400.0 * math.log10(1.0 / score - 1.0) + 0.0  # an even score is +0, not -0


@dataclass(frozen=True)
class GameRecord:
    """One game of a match. ``a_white``: agent a had white. ``result``: the PGN result
    (from white's side). ``ending``, as the environment ended the game (one of
    ``ENDING_NAMES``): ``"checkmate"``, ``"stalemate"``, ``"insufficient material"``,
    ``"no progress"`` (fifty moves of each side, or the module's fifty half-moves),
    ``"repetition"`` (a third occurrence), ``"seventy-five moves"``, ``"fivefold
    repetition"``, ``"max plies"`` (a draw), or ``"illegal action"`` (the side to move
    lost). ``illegal_action``: the refused action in that case. ``score_a``: agent a's
    points."""

    index: int
    a_white: bool
    start_fen: str | None
    actions: tuple[int, ...]
    result: str
    ending: str
    score_a: float
    pgn: str
    illegal_action: int | None = None


@dataclass(frozen=True)
class MatchResult:
    """The outcome of a match, from agent a's point of view.

    ``score`` is points per game (a win 1, a draw 1/2); ``elo`` is
    ``-400 * log10(1 / score - 1)`` (infinite at a score of 0 or 1); ``elo_interval``
    is its 95 % interval by the normal approximation: ``score_interval``, score +- 1.96
    standard errors, the error from the variance of the per-game points (0, 1/2, 1) over
    the games, clipped to 0..1, turned into Elo (an end at 0 or 1 is infinite). When the score
    is 0 or 1 every game had the same result, the variance is 0 and the approximation
    says nothing: the interval is ``(-inf, inf)``. (All draws likewise have variance 0
    and give ``(0.0, 0.0)``.)
    """

    wins: int
    draws: int
    losses: int
    pgns: tuple[str, ...] = ()
    games: tuple[GameRecord, ...] = field(default=(), repr=False)

    def __post_init__(self) -> None:
        for name in ("wins", "draws", "losses"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"{name} must be an int of at least 0, not {value!r}")

    @property
    def played(self) -> int:
        """The number of games."""
        return self.wins + self.draws + self.losses

    @property
    def score(self) -> float:
        """Agent a's points per game; NaN before any game."""
        if self.played == 0:
            return math.nan
        return (self.wins + 0.5 * self.draws) / self.played

    @property
    def elo(self) -> float:
        """The Elo difference the score implies; NaN before any game."""
        return math.nan if self.played == 0 else elo_difference(self.score)

    @property
    def score_interval(self) -> tuple[float, float]:
        """The score's 95 % interval that ``elo_interval`` turns into Elo."""
        n = self.played
        if n == 0:
            return (math.nan, math.nan)
        score = self.score
        variance = (
            self.wins * (1.0 - score) ** 2 + self.draws * (0.5 - score) ** 2 + self.losses * score**2
        ) / n
        half = _Z95 * math.sqrt(variance / n)
        return (max(0.0, score - half), min(1.0, score + half))

    @property
    def elo_interval(self) -> tuple[float, float]:
        """The 95 % interval of ``elo``."""
        if self.played == 0:
            return (math.nan, math.nan)
        if self.score in (0.0, 1.0):
            return (-math.inf, math.inf)
        low, high = self.score_interval
        return (elo_difference(low), elo_difference(high))

    @property
    def forfeits(self) -> int:
        """Games that ended by an illegal action."""
        return sum(1 for g in self.games if g.ending == "illegal action")

    def __str__(self) -> str:
        low, high = self.elo_interval
        return (
            f"{self.wins} won, {self.draws} drawn, {self.losses} lost of {self.played}: "
            f"score {self.score:.1%}, Elo {self.elo:+.0f} (95 % interval {low:+.0f} .. {high:+.0f})"
        )


def _agent_name(agent: Agent) -> str:
    if isinstance(agent, UciEngine):
        return agent.name
    name = getattr(agent, "__name__", None)
    name = name if isinstance(name, str) else type(agent).__name__
    return " ".join(name.splitlines())  # a header is one line


def checked_starts(start_fens: Sequence[str] | None, rules: str = "standard",
                   chess960: bool = False) -> list[str] | None:
    """``start_fens`` as ``play_match`` plays them (six fields each), or ``TypeError`` or
    ``ValueError`` naming the first that ``BatchEnv.reset`` would not accept under ``rules``."""
    rules = rules_of(rules)
    if start_fens is None:
        return None
    if isinstance(start_fens, str):
        raise TypeError("start_fens must be a sequence of FEN texts, not one str")
    fens = list(start_fens)
    if not fens:
        raise ValueError("start_fens is empty")
    if not all(isinstance(f, str) for f in fens):
        raise TypeError("start_fens must hold str")
    for number, text in enumerate(fens):
        try:
            fens[number] = read_start(text, rules, chess960).text
        except ValueError as error:
            raise ValueError(f"start_fens[{number}]: {error}") from None
    return fens


def play_match(
    agent_a: Agent,
    agent_b: Agent,
    games: int,
    start_fens: Sequence[str] | None = None,
    max_plies: int | None = None,
    seed: int | None = None,
    *,
    names: tuple[str, str] | None = None,
    illegal: str = "lose",
    event: str = "vantor_gym match",
    progress: bool | None = None,
    feed: GameFeed | None = None,
    rules: str = "standard",
    chess960: bool | int = False,
) -> MatchResult:
    """Plays ``games`` games between two agents and returns the ``MatchResult`` (for a).

    - Agents: a ``UciEngine`` (asked with ``best_action``, its own search limits, the
      game's start FEN and moves so far, after ``new_game`` at each game's start) or a
      callable ``(state, mask) -> action`` (state a ``vantor.State``, mask a read-only
      ``bool`` array of 4672 legal-action flags).
    - Colours alternate: agent a has white in even games (0, 2, ...), black in odd ones.
    - ``start_fens``: game ``g`` starts from ``start_fens[(g // 2) % len(start_fens)]``,
      so each position is played twice in a row with the colours swapped. Each must be
      a start that ``BatchEnv.reset`` accepts (``ValueError`` naming it otherwise, before
      any game: a malformed or impossible FEN, a mate or stalemate, a half-move clock at
      the draw); one of four fields is completed with ``0 1``; the game goes on from the
      clocks, and the PGN's ``FEN`` header and the engines get the six fields with one
      blank between them. With
      ``seed`` the list is first shuffled by ``random.Random(seed)`` (a reproducible
      sample of an opening book). Without ``start_fens`` every game starts from the
      initial position and ``seed`` has no effect (the games are then as random as the
      agents).
    - Each game is one game of a ``BatchEnv(1, threads=1, autoreset="disabled",
      rules=rules)``; it ends when the environment says terminated (checkmate,
      stalemate, or a draw of the rules) or after ``max_plies`` plies, which counts as a
      draw.
    - ``rules``: ``"standard"`` (the default), ``"automatic"`` or ``"module"``
      (``vantor_gym.rules``). A UCI engine plays chess, so a match with one under
      ``"module"`` raises ``ValueError``; so does an agent whose own ``rules`` attribute
      (the search players', a ``NetworkPlayer``'s) differs from ``rules``.
    - An illegal action (an integer that is not legal in the position) loses the game
      for the agent that gave it (recorded as the game's ``ending`` and
      ``illegal_action``, PGN ``Termination "rules infraction"``) under
      ``illegal="lose"``; ``illegal="raise"`` raises ``ValueError`` instead. A value
      that is not an integer raises ``TypeError``, and an exception from an agent
      (such as ``EngineError``) ends the match.
    - ``names``: the names of a and b in the PGN ``White``/``Black`` headers (default
      the engine's ``id name`` or the callable's ``__name__``).
    - ``progress``: a line on standard error with the games played and a's score so
      far; ``None`` shows it only when standard error is a terminal.
    - ``feed``: a ``vantor_gym.view.GameFeed`` that each game's moves are told to as they
      are played (with the search's top moves of agents that keep them as ``last_search``),
      for a page that watches the match.
    - ``chess960``: ``True`` plays Chess960 (``vantor_gym.chess960``): each pair of games
      starts from a start drawn by ``random.Random(seed)`` (or from ``start_fens``, read
      as Chess960 FEN); a start number plays that start. UCI engines search with their
      ``UCI_Chess960`` option on, and callables get the position's ``vantor.State`` and
      mask as ever (castling is the king's action onto its own rook). The PGN carries
      ``[Variant "Chess960"]``.
    """
    count = integer(games, "games", 1)
    if seed is not None:
        seed = integer(seed, "seed")
    if max_plies is not None:
        max_plies = integer(max_plies, "max_plies", 1)
    if illegal not in ("lose", "raise"):
        raise ValueError(f"illegal must be 'lose' or 'raise', not {illegal!r}")
    if feed is not None and not isinstance(feed, GameFeed):
        raise TypeError(f"feed must be a vantor_gym.view.GameFeed, not {type(feed).__name__}")
    rules = _match_rules(rules, agent_a, agent_b)
    chess960 = chess960_option(chess960)
    if chess960 is not True and chess960 is not False and start_fens is not None:
        raise ValueError("give a Chess960 start number or start_fens, not both")
    _check_variant(chess960 is not False, agent_a, agent_b)
    fens = checked_starts(start_fens, rules, chess960 is not False)
    if fens is not None and seed is not None:
        random.Random(seed).shuffle(fens)
    if fens is None and chess960 is not False:
        if chess960 is not True:
            fens = [chess960_fen(chess960)]
        else:
            draw = random.Random(seed)
            fens = [chess960_fen(draw.randrange(STARTS)) for _ in range((count + 1) // 2)]
    if names is not None and (not isinstance(names, (tuple, list)) or len(names) != 2):
        raise TypeError("names must be a pair of str: a's and b's")
    name_a, name_b = names if names is not None else (_agent_name(agent_a), _agent_name(agent_b))
    # They go into every game's PGN headers: refused now, not after the first game.
    for what, text in (("names[0]", name_a), ("names[1]", name_b), ("event", event)):
        if not isinstance(text, str):
            raise TypeError(f"{what} must be a str, not {type(text).__name__}")
        if "\n" in text or "\r" in text:
            raise ValueError(f"{what} must be one line: it goes into a PGN header, {text!r}")
    if name_a == name_b:
        name_a, name_b = f"{name_a} (a)", f"{name_b} (b)"
    records: list[GameRecord] = []
    with (
        BatchEnv(1, threads=1, max_plies=max_plies, autoreset="disabled", rules=rules,
                 chess960=chess960 is not False) as env,
        Progress(count, "games", progress) as shown,
    ):
        points = 0.0
        for index in range(count):
            start = None if fens is None else fens[(index // 2) % len(fens)]
            records.append(
                _play_game(env, index, agent_a, agent_b, name_a, name_b, start, illegal, event, feed)
            )
            points += records[-1].score_a
            shown.update(score=f"{points:g}/{index + 1} for {name_a}")
    wins = sum(1 for r in records if r.score_a == 1.0)
    losses = sum(1 for r in records if r.score_a == 0.0)
    return MatchResult(
        wins=wins,
        draws=len(records) - wins - losses,
        losses=losses,
        pgns=tuple(r.pgn for r in records),
        games=tuple(records),
    )


def _match_rules(rules: str, *agents: Agent) -> str:
    """``rules`` checked against the agents: a UCI engine plays chess, and an agent that
    searches under rules of its own must search under these."""
    rules = rules_of(rules)
    for agent in agents:
        if isinstance(agent, UciEngine):
            if rules == "module":
                raise ValueError(f"{agent.name!r} is a UCI engine, which plays chess: play the match under "
                                 "rules='standard' or 'automatic', not 'module'")
            continue
        own = getattr(agent, "rules", None)
        if isinstance(own, str) and own != rules:
            raise ValueError(f"{_agent_name(agent)!r} plays under {own!r} rules, the match under {rules!r}: "
                             "make the player with the match's rules")
    return rules


def _check_variant(chess960: bool, *agents: Agent) -> None:
    """An agent that searches positions of its own must search the match's variant."""
    for agent in agents:
        own = getattr(agent, "chess960", None)
        if isinstance(own, bool) and own != chess960:
            raise ValueError(f"{_agent_name(agent)!r} plays {'Chess960' if own else 'standard chess'}, the match "
                             f"{'Chess960' if chess960 else 'standard chess'}: make the player with chess960={chess960}")


def game_end(ending: int, reward: int) -> tuple[str, str]:
    """The ending's name (``ENDING_NAMES``) and the PGN result of a game the environment
    ended with ending code ``ending`` (``info["ending"]``) and ``reward`` (white's)."""
    name = ENDING_NAMES[int(ending) - 1]
    if name == "checkmate" or name == "illegal action":
        return name, "1-0" if reward > 0 else "0-1"
    return name, "1/2-1/2"


def _play_game(
    env: BatchEnv,
    index: int,
    agent_a: Agent,
    agent_b: Agent,
    name_a: str,
    name_b: str,
    start: str | None,
    illegal: str,
    event: str,
    feed: GameFeed | None = None,
) -> GameRecord:
    a_white = index % 2 == 0
    players = (agent_a, agent_b) if a_white else (agent_b, agent_a)
    white, black = (name_a, name_b) if a_white else (name_b, name_a)
    watched = None if feed is None else feed.begin(white, black, start, rules=env.rules,
                                                   chess960=env.chess960 is not False)
    _, info = env.reset(fens=None if start is None else [start])
    state = env.save_state(0)
    start_fen = start
    for agent in {id(p): p for p in players}.values():
        if isinstance(agent, UciEngine):
            agent.new_game()
    actions: list[int] = []
    texts: list[str] = []
    wants_texts = any(isinstance(p, UciEngine) for p in players)
    ending, result, refused = "", "*", None
    while True:
        side = int(info["side"][0])
        mask = info["action_mask"][0].copy()
        shown = mask.copy()
        shown.flags.writeable = False
        player = players[side]
        # A Chess960 game's moves are read from the game itself, which a snapshot cannot tell.
        position: Position = (env, 0) if env.chess960 else state
        if isinstance(player, UciEngine):
            choice: SupportsIndex = player.best_action(position, start_fen=start_fen, moves=texts)
        else:
            choice = player(state, shown)
        try:
            if isinstance(choice, (bool, np.bool_)):
                raise TypeError  # True is no action, not action 1
            action = operator.index(choice)
        except TypeError:
            raise TypeError(
                f"game {index}: the agent playing {('white', 'black')[side]} returned "
                f"{choice!r}, not an integer action"
            ) from None
        if not (0 <= action < ACTIONS and mask[action]):
            if illegal == "raise":
                raise ValueError(
                    f"game {index}, ply {len(actions) + 1}: the agent playing "
                    f"{('white', 'black')[side]} gave action {action}, which is not legal"
                )
            ending, refused = "illegal action", action
            result = "0-1" if side == 0 else "1-0"
            break
        if wants_texts:
            texts.append(action_to_uci(position, action))
        _, rewards, terminated, truncated, info = env.step(np.array([action], dtype=np.int64))
        actions.append(action)
        if feed is not None and watched is not None:
            feed.play(watched, action, getattr(player, "last_search", None))
        state = env.save_state(0)
        if terminated[0] or truncated[0]:
            ending, result = game_end(int(info["ending"][0]), int(rewards[0]))
            break
    if feed is not None and watched is not None:
        feed.finish(watched, result)
    termination = {"illegal action": "rules infraction", "max plies": "adjudication"}.get(ending, "normal")
    headers = {
        "Event": event,
        "Round": str(index + 1),
        "White": white,
        "Black": black,
        "Termination": termination,
    }
    white_points = {"1-0": 1.0, "0-1": 0.0}.get(result, 0.5)
    return GameRecord(
        index=index,
        a_white=a_white,
        start_fen=start_fen,
        actions=tuple(actions),
        result=result,
        ending=ending,
        score_a=white_points if a_white else 1.0 - white_points,
        pgn=pgn(actions, start_fen=start_fen, result=result, headers=headers, rules=env.rules,
                chess960=env.chess960 is not False),
        illegal_action=refused,
    )
