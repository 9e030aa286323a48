// vantor_gym._native's State builder: a vantor.State with any position fields, which
// Python cannot set on a State (they are read-only there), so that a State sent between
// processes as plain data arrives exactly as it left.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>

#include "engine/snapshot.h"
#include "module/guarded.h"
#include "module/native.h"

namespace py = pybind11;

namespace vantor::module {

void register_states(py::module_& m) {
  m.def(
      "state_with_position",
      [](const std::array<std::uint64_t, kPieceCodes>& bitboards, const std::array<std::uint64_t, 3>& occupancies,
         std::int32_t side, std::int32_t enpassant, std::int32_t castle) {
        Guarded<State> state;
        state.value.bitboards = bitboards;
        state.value.occupancies = occupancies;
        state.value.side = side;
        state.value.enpassant = enpassant;
        state.value.castle = castle;
        return state;
      },
      py::arg("bitboards"), py::arg("occupancies"), py::arg("side"), py::arg("enpassant"), py::arg("castle"),
      "A new State holding these position fields, its other fields as a new State's.");
}

}  // namespace vantor::module
