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

}  // namespace vantor
