#include "engine/history.h"

#include <algorithm>

#include "engine/board.h"

namespace vantor {

namespace {

std::vector<std::int32_t> to_values(const PlaneEntry& entry) {
  std::vector<std::int32_t> values;
  values.reserve(kEntryPlanes * kSquares);
  for (const Plane& plane : entry) values.insert(values.end(), plane.begin(), plane.end());
  return values;
}

}  // namespace

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

std::uint64_t Board::position_key() const {
  // Each set is mixed with its own code, so a knight and a bishop trading squares make
  // another key; the mixes are independent, so the twelve run side by side.
  std::uint64_t key = 0;
  for (int k = 0; k < kPieceCodes; ++k) key += mix64(bitboards[k] ^ (0x632be59bd9b4e019ULL * (k + 1)));
  const std::uint64_t en_passant = en_passant_legal() ? static_cast<std::uint64_t>(enpassant) : kNoSquare;
  const std::uint64_t rest = static_cast<std::uint64_t>(side) | static_cast<std::uint64_t>(castle & 15) << 1 |
                             en_passant << 5;
  return key ^ mix64(rest ^ 0x8cb92ba72f3d8dd7ULL);
}

void Board::record_state() {
  std::int32_t& seen = repetition_count[repetition_key()];
  seen = wrapping_add(seen, 1);
  const std::int32_t repeats = wrapping_add(seen, -1);
  n_repititions = repeats;

  // The history grows to eight entries, then the oldest (at the ring position about to
  // be filled) is overwritten in place.
  const unsigned slot = static_cast<unsigned>(state_pos) % kHistoryLength;
  state_pos = static_cast<std::int32_t>((slot + 1) % kHistoryLength);
  HistoryEntry& entry = state_history.size() < kHistoryLength ? state_history.emplace_back() : state_history[slot];
  entry.pieces = bitboards;
  // Each entry carries its own position's repetition value on the plane of the side to
  // move and the previous record's on the other.
  entry.repetitions = side == kWhite ? std::array{repeats, prev_n_repititions} : std::array{prev_n_repititions, repeats};
  if (!entry.planes.empty()) entry.planes = {};
  prev_n_repititions = repeats;
}

HistoryEntry HistoryEntry::from_planes(const PlaneEntry& entry) {
  HistoryEntry compact;
  for (int k = 0; k < kPieceCodes; ++k)
    for (int s = 0; s < kSquares; ++s) {
      const std::int32_t value = entry[k][s];
      if (value != 0 && value != 1) return {{}, {}, to_values(entry)};
      if (value == 1) compact.pieces[k] |= bit(s);
    }
  for (int r = 0; r < 2; ++r) {
    const Plane& plane = entry[kPieceCodes + r];
    if (std::count(plane.begin(), plane.end(), plane[0]) != kSquares) return {{}, {}, to_values(entry)};
    compact.repetitions[r] = plane[0];
  }
  return compact;
}

PlaneEntry HistoryEntry::to_planes() const {
  PlaneEntry entry(kEntryPlanes, Plane(kSquares));
  for (int k = 0; k < kEntryPlanes; ++k) write_plane(k, false, entry[k].data());
  return entry;
}

template <class T>
void HistoryEntry::write_plane(int k, bool turned, T* out) const {
  if (!planes.empty()) {
    const std::int32_t* source = planes.data() + kSquares * k;
    if (turned) {
      std::reverse_copy(source, source + kSquares, out);
    } else {
      std::copy_n(source, kSquares, out);
    }
  } else if (k < kPieceCodes) {
    write_set(turned ? rotated(pieces[k]) : pieces[k], out);
  } else {
    std::fill_n(out, kSquares, static_cast<T>(repetitions[k - kPieceCodes]));
  }
}

std::vector<PlaneEntry> Board::history_planes() const {
  std::vector<PlaneEntry> entries;
  entries.reserve(state_history.size());
  for (const HistoryEntry& entry : state_history) entries.push_back(entry.to_planes());
  return entries;
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
    // The side to move's pieces come first; the repetition planes keep their places.
    for (int k = 0; k < kEntryPlanes; ++k)
      entry.write_plane(k >= 12 || side == kWhite ? k : (k + 6) % 12, turned, plane(kEntryPlanes * t + k));
  }
  // Constant planes read the same turned or not.
  auto fill = [&](int p, std::int32_t value) { std::fill_n(plane(p), kSquares, static_cast<T>(value)); };
  fill(kSidePlane, side == kWhite ? 0 : 1);
  fill(kMoveCountPlane, total_move_count);
  const int rights[] = {kWhiteKingSide, kWhiteQueenSide, kBlackKingSide, kBlackQueenSide};
  for (int i = 0; i < 4; ++i) fill(kCastlingPlanes + i, (castle & rights[i]) ? 1 : 0);
  fill(kNoProgressPlane, no_progress_count);
}

void Board::write_compact(std::uint64_t* out) const {
  std::int32_t values[kCompactValues] = {};
  for (int t = 0; t < kHistoryLength; ++t) {
    // The ring position as write_observation finds it.
    const unsigned d = static_cast<unsigned>(state_pos + kHistoryLength - 1 - t) % kHistoryLength;
    std::uint64_t* sets = out + kPieceCodes * t;
    if (d >= state_history.size()) {
      std::fill_n(sets, kPieceCodes, std::uint64_t{0});
      continue;
    }
    const HistoryEntry& entry = state_history[d];
    std::copy_n(entry.pieces.data(), kPieceCodes, sets);
    values[kCompactRepetitions + 2 * t] = entry.repetitions[0];
    values[kCompactRepetitions + 2 * t + 1] = entry.repetitions[1];
  }
  values[kCompactSide] = side == kWhite ? 0 : 1;
  values[kCompactMoveCount] = total_move_count;
  const int rights[] = {kWhiteKingSide, kWhiteQueenSide, kBlackKingSide, kBlackQueenSide};
  for (int i = 0; i < 4; ++i) values[kCompactCastling + i] = (castle & rights[i]) ? 1 : 0;
  values[kCompactNoProgress] = no_progress_count;
  values[kCompactTurned] = side != kWhite && !just_reset ? 1 : 0;
  // Pairs packed by value, not by memory layout, so the words read the same on any host.
  for (int j = 0; j < kCompactValues / 2; ++j)
    out[kCompactPieceWords + j] = static_cast<std::uint32_t>(values[2 * j]) |
                                  std::uint64_t{static_cast<std::uint32_t>(values[2 * j + 1])} << 32;
}

bool Board::compact_history() const {
  return std::all_of(state_history.begin(), state_history.end(),
                     [](const HistoryEntry& entry) { return entry.planes.empty(); });
}

template void Board::write_observation(std::int32_t*) const;
template void Board::write_observation(float*) const;
template void HistoryEntry::write_plane(int, bool, std::int32_t*) const;
template void HistoryEntry::write_plane(int, bool, float*) const;

}  // namespace vantor
