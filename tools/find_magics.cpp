// Searches magic multipliers under which every subset of a square's occupancy mask gets a
// slot of its own, and prints them in the layout of src/engine/magics.inc (bishops by
// square, then rooks). Squares whose multiplier is fixed below keep it; the search is
// seeded, so the output is the same on every run.
#include <cstdio>
#include <random>
#include <vector>

#include "engine/attacks.h"

namespace {

using vantor::Bitboard;

struct Fixed {
  bool rook;
  int square;
  Bitboard magic;
};

constexpr Fixed kFixed[] = {
    {false, 0, 0x0040040844404084ULL},
    {false, 63, 0x4010011029020020ULL},
    {true, 0, 0x8a80104000800020ULL},
    {true, 63, 0x0001004081002402ULL},
    {true, 60, 0x00020030a0244872ULL},
};

bool is_perfect(Bitboard magic, const std::vector<Bitboard>& subsets, int bits,
                std::vector<unsigned>& stamp, unsigned epoch) {
  for (Bitboard occupancy : subsets) {
    const Bitboard slot = (occupancy * magic) >> (64 - bits);
    if (stamp[slot] == epoch) return false;
    stamp[slot] = epoch;
  }
  return true;
}

Bitboard find(bool rook, int square, std::mt19937_64& random) {
  for (const Fixed& f : kFixed)
    if (f.rook == rook && f.square == square) return f.magic;
  const Bitboard mask = rook ? vantor::rook_mask(square) : vantor::bishop_mask(square);
  const int bits = rook ? vantor::rook_index_bits[square] : vantor::bishop_index_bits[square];
  std::vector<Bitboard> subsets;
  for (int index = 0; index < (1 << bits); ++index)
    subsets.push_back(vantor::occupancy_subset(index, mask));
  std::vector<unsigned> stamp(std::size_t{1} << bits, 0);
  for (unsigned epoch = 1;; ++epoch) {
    const Bitboard magic = random() & random() & random();
    if (vantor::count((mask * magic) & 0xff00000000000000ULL) < 6) continue;
    if (is_perfect(magic, subsets, bits, stamp, epoch)) return magic;
  }
}

}  // namespace

int main() {
  std::mt19937_64 random(20261208);
  for (int rook = 0; rook < 2; ++rook) {
    for (int square = 0; square < vantor::kSquares; ++square) {
      std::printf("0x%016llxULL,%s", static_cast<unsigned long long>(find(rook, square, random)),
                  square % 4 == 3 ? "\n" : " ");
      std::fflush(stdout);
    }
  }
}
