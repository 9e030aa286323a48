// What the learner sees: the position hash, the eight-entry history of recorded
// positions, and the 119-plane observation built from it.
//
// A history entry holds 14 planes of 64 ints: the twelve piece planes by piece code, then
// the repetition value of the white-to-move and the black-to-move plane. An observation
// holds eight history slots of 14 planes (newest first, the side to move's pieces first),
// then side to move, step count, the four castling rights and the half-move clock.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/types.h"

namespace vantor {

inline constexpr int kHistoryLength = 8;
inline constexpr int kEntryPlanes = 14;
inline constexpr int kObservationPlanes = 119;

using Plane = std::vector<std::int32_t>;
using PlaneEntry = std::vector<Plane>;  // a history entry as a State holds it
using Observation = Planes<kObservationPlanes>;

// A history entry as the board keeps it. A recorded position is its twelve piece sets and
// its two repetition values, which is all its 14 planes hold, so an observation expands
// them and no step copies 3.5 KB. An entry restored from a snapshot whose planes are not
// of that form (0/1 piece planes, constant repetition planes) keeps its planes as they
// are, so the observation shows exactly what the snapshot held.
struct HistoryEntry {
  std::array<Bitboard, kPieceCodes> pieces{};
  std::array<std::int32_t, 2> repetitions{};  // the white-to-move and black-to-move planes
  std::vector<std::int32_t> planes;           // 14 x 64 values, or empty when compact

  // The compact form whenever the planes have it, so equal planes make equal entries.
  static HistoryEntry from_planes(const PlaneEntry& entry);
  PlaneEntry to_planes() const;

  // Writes plane k (0..13) to out, turned by 180 degrees when turned is set.
  template <class T>
  void write_plane(int k, bool turned, T* out) const;

  bool operator==(const HistoryEntry&) const = default;
};

// Planes after the history slots.
inline constexpr int kSidePlane = 112;
inline constexpr int kMoveCountPlane = 113;
inline constexpr int kCastlingPlanes = 114;
inline constexpr int kNoProgressPlane = 118;

// The compact observation: what the 119 planes are made of, 108 words a position (864
// bytes), from which the planes expand exactly (vantor_gym.compact expands them).
//   words 0..95     the piece sets of the eight history slots, newest first, twelve a slot
//                   by piece code (white's first, the board's own sets, never turned);
//                   an empty slot is zero
//   words 96..107   24 int32 values, value 2j in the low and 2j + 1 in the high half of
//                   word 96 + j:
//     0..15   the two repetition values of each slot (slot t at 2t, 2t + 1)
//     16      side to move (0 white, 1 black)      17  step count
//     18..21  castling rights K, Q, k, q (0 or 1)  22  no-progress count
//     23      1 when the planes are turned by 180 degrees, else 0
// Expanded, slot t's plane k < 12 is set k (k + 6 mod 12 with black to move) with square s
// showing bit s, or bit 63 - s when turned; planes 12, 13 and 112..118 are constant.
inline constexpr int kCompactPieceWords = kHistoryLength * kPieceCodes;
inline constexpr int kCompactValues = 24;
inline constexpr int kCompactWords = kCompactPieceWords + kCompactValues / 2;
inline constexpr int kCompactRepetitions = 0;
inline constexpr int kCompactSide = 16;
inline constexpr int kCompactMoveCount = 17;
inline constexpr int kCompactCastling = 18;
inline constexpr int kCompactNoProgress = 22;
inline constexpr int kCompactTurned = 23;
// Why a snapshot is refused where compact observations are written.
inline constexpr const char* kNotCompact =
    "the snapshot's history holds planes other than piece planes of 0 and 1 and constant repetition "
    "planes, which compact observations cannot show";

}  // namespace vantor
