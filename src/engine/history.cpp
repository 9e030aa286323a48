#include "engine/history.h"

#include <algorithm>

#include "engine/board.h"

namespace vantor {

std::uint64_t Board::hash_state() const {
  // One multiplier for all twelve sets: the hash does not tell piece codes apart.
  std::uint64_t h = 0;
  for (Bitboard set : bitboards) h ^= set * 0x9E3779B97F4A7C15ULL;
  h ^= 0xCBF29CE484222325ULL;
  if (side == kWhite) h ^= 0xA5A5A5A5A5A5A5A5ULL;
  if (on_board(enpassant)) h ^= bit(enpassant);
  h ^= static_cast<std::uint64_t>(static_cast<std::int64_t>(castle)) * 0xF0F0F0F0F0F0F0F0ULL;
  return h;
}

void Board::record_state() {
  std::int32_t& seen = repetition_count[hash_state()];
  seen = wrapping_add(seen, 1);
  const std::int32_t repeats = wrapping_add(seen, -1);
  n_repititions = repeats;

  // The history grows to eight entries, then the oldest (at the ring position about to
  // be filled) is overwritten in place. Stored entries always hold 14 planes of 64
  // values: restore_state refuses any other shape.
  const unsigned slot = static_cast<unsigned>(state_pos) % kHistoryLength;
  state_pos = static_cast<std::int32_t>((slot + 1) % kHistoryLength);
  HistoryEntry* entry;
  if (state_history.size() < kHistoryLength) {
    entry = &state_history.emplace_back(kEntryPlanes, Plane(64, 0));
  } else {
    entry = &state_history[slot];
    for (int piece = 0; piece < kPieceCodes; ++piece) std::fill((*entry)[piece].begin(), (*entry)[piece].end(), 0);
  }
  for (int piece = 0; piece < kPieceCodes; ++piece)
    for (Bitboard set = bitboards[piece]; set;) (*entry)[piece][pop_lowest(set)] = 1;
  // Each entry carries its own position's repetition value on the plane of the side to
  // move and the previous record's on the other.
  (*entry)[12].assign(64, side == kWhite ? repeats : prev_n_repititions);
  (*entry)[13].assign(64, side == kWhite ? prev_n_repititions : repeats);
  prev_n_repititions = repeats;
}

Observation Board::build_observation() const {
  Observation planes;
  write_observation(planes.data());
  return planes;
}

template <class T>
void Board::write_observation(T* out) const {
  // Black sees the board turned by 180 degrees, except on the observation of a reset; the
  // turn is made while copying, so every value is written once.
  const bool turned = side != kWhite && !just_reset;
  auto plane = [out](int p) { return out + kSquares * p; };
  for (int t = 0; t < kHistoryLength; ++t) {
    // The ring position t records before the newest; an unsigned modulo keeps it in
    // 0..7 whatever state_pos holds.
    const unsigned d = static_cast<unsigned>(state_pos + kHistoryLength - 1 - t) % kHistoryLength;
    if (d >= state_history.size()) {
      std::fill_n(plane(kEntryPlanes * t), kEntryPlanes * kSquares, T{0});
      continue;
    }
    const HistoryEntry& entry = state_history[d];
    for (int k = 0; k < kEntryPlanes; ++k) {
      // The side to move's pieces come first; the repetition planes keep their places.
      const Plane& source = entry[k >= 12 || side == kWhite ? k : (k + 6) % 12];
      if (turned) {
        std::reverse_copy(source.begin(), source.begin() + kSquares, plane(kEntryPlanes * t + k));
      } else {
        std::copy_n(source.begin(), kSquares, plane(kEntryPlanes * t + k));
      }
    }
  }
  // Constant planes read the same turned or not.
  auto fill = [&](int p, std::int32_t value) { std::fill_n(plane(p), kSquares, static_cast<T>(value)); };
  fill(kSidePlane, side == kWhite ? 0 : 1);
  fill(kMoveCountPlane, total_move_count);
  const int rights[] = {kWhiteKingSide, kWhiteQueenSide, kBlackKingSide, kBlackQueenSide};
  for (int i = 0; i < 4; ++i) fill(kCastlingPlanes + i, (castle & rights[i]) ? 1 : 0);
  fill(kNoProgressPlane, no_progress_count);
}

template void Board::write_observation(std::int32_t*) const;
template void Board::write_observation(float*) const;

}  // namespace vantor
