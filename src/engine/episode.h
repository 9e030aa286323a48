// Episode control: the result of reset and step, and the roll-out's limits.
#pragma once

#include <tuple>

#include "engine/history.h"

namespace vantor {

// (side to move, observation, reward from white's side, done).
using StepResult = std::tuple<int, Observation, int, int>;

inline constexpr const char* kStartFen = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 ";
inline constexpr int kRollOutSteps = 400;

}  // namespace vantor
