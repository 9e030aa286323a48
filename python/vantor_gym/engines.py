"""UCI engines and matches under their earlier module name.

The UCI client lives in ``vantor_gym.uci`` and matches in ``vantor_gym.match``; this
module re-exports both for code written as ``from vantor_gym.engines import UciEngine,
play_match``.
"""

from __future__ import annotations

from vantor_gym.match import (
    ENDING_NAMES,
    Agent,
    GameRecord,
    MatchResult,
    checked_starts,
    elo_difference,
    play_match,
)
from vantor_gym.uci import (
    DEFAULT_MOVETIME,
    QUIT_GRACE,
    SCORE_SCALE,
    TERM_GRACE,
    Analysis,
    AnalysisLine,
    EngineError,
    Score,
    UciEngine,
    UciOption,
    info_score,
)

__all__ = [
    "DEFAULT_MOVETIME",
    "ENDING_NAMES",
    "QUIT_GRACE",
    "SCORE_SCALE",
    "TERM_GRACE",
    "Agent",
    "Analysis",
    "AnalysisLine",
    "EngineError",
    "GameRecord",
    "MatchResult",
    "Score",
    "UciEngine",
    "UciOption",
    "checked_starts",
    "elo_difference",
    "info_score",
    "play_match",
]
