// Notation in vantor_gym._native: the legal moves of a vantor.State with their texts,
// its FEN position fields, and what FEN checking needs to know of a position.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <tuple>
#include <vector>

#include "module/guarded.h"
#include "module/native.h"
#include "notation/notation.h"

namespace py = pybind11;

namespace vantor::module {

namespace {

using Snapshot = Guarded<State>;

// The position fields, copied under the State's lock; the side indexes the piece sets, so
// an edited one is refused here.
notation::Position position_of(const Snapshot& snapshot) {
  const notation::Position position = locked(snapshot, [](const State& s) {
    return notation::Position{s.bitboards, s.occupancies, s.side, s.castle, s.enpassant};
  });
  if (position.side != kWhite && position.side != kBlack)
    throw py::value_error("side must be 0 or 1, got " + std::to_string(position.side));
  return position;
}

std::vector<std::tuple<int, std::string, std::string>> moves_of(const Snapshot& snapshot) {
  const notation::Position position = position_of(snapshot);
  std::vector<notation::MoveText> moves;
  {
    py::gil_scoped_release detached;
    moves = notation::legal_moves(position);
  }
  std::vector<std::tuple<int, std::string, std::string>> out;
  out.reserve(moves.size());
  for (auto& m : moves) out.emplace_back(m.action, std::move(m.uci), std::move(m.san));
  return out;
}

}  // namespace

void register_notation(py::module_& m) {
  m.def("legal_moves", &moves_of, py::arg("state"),
        "(action, UCI, SAN) of every legal move of the state's position, in generation order.");
  m.def(
      "position_fields", [](const Snapshot& s) { return notation::position_fields(position_of(s)); }, py::arg("state"),
      "The placement, side, castling and en-passant fields of FEN text for the state's position.");
  m.def(
      "position_facts",
      [](const std::string& fen) {
        const notation::PositionFacts f = notation::position_facts(fen);
        return std::make_tuple(f.opponent_in_check, f.checkers, f.impossible_check, f.legal_moves);
      },
      py::arg("fen"),
      "(side not to move in check, checkers of the side to move, impossible check, legal moves) of the "
      "position that the engine reads from the first four fields of FEN text.");
}

}  // namespace vantor::module
