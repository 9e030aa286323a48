// What the learner sees: the position hash, the eight-entry history of recorded
// positions, and the 119-plane observation built from it.
//
// A history entry holds 14 planes of 64 ints: the twelve piece planes by piece code, then
// the repetition value of the white-to-move and the black-to-move plane. An observation
// holds eight history slots of 14 planes (newest first, the side to move's pieces first),
// then side to move, step count, the four castling rights and the half-move clock.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/types.h"

namespace vantor {

inline constexpr int kHistoryLength = 8;
inline constexpr int kEntryPlanes = 14;
inline constexpr int kObservationPlanes = 119;

using Plane = std::vector<std::int32_t>;
using HistoryEntry = std::vector<Plane>;
using Observation = Planes<kObservationPlanes>;

// Planes after the history slots.
inline constexpr int kSidePlane = 112;
inline constexpr int kMoveCountPlane = 113;
inline constexpr int kCastlingPlanes = 114;
inline constexpr int kNoProgressPlane = 118;

}  // namespace vantor
