// vantor_floor: hands Python results shaped like vantor's through the same conversions,
// without any chess, so that bench/bench.py can tell the engine's share of a call from
// the cost of building its Python objects. Only the benchmarks build it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "engine/board.h"
#include "module/conversions.h"
#include "module/guarded.h"

namespace py = pybind11;

namespace {

struct Prepared {
  vantor::StepResult step;
  vantor::ActionMask mask;
  vantor::State state;
  std::uint64_t hash;
};

// Results of a real mid-game position, so the shapes and values are typical.
const Prepared& prepared() {
  static const Prepared p = [] {
    vantor::Board board;
    board.total_move_count = 1'000'000;  // a long-running environment's step count
    board.reset();
    for (int action : {564, 524, 3646, 3910}) board.step(action);  // e4 e5 Nf3 Nf6
    Prepared out;
    out.step = board.step(189);  // Bc4
    out.mask = board.get_actions();
    out.state = board.save_state();
    out.hash = board.hash_state();
    return out;
  }();
  return p;
}

}  // namespace

PYBIND11_MODULE(vantor_floor, m, py::mod_gil_not_used()) {
  py::module_::import("vantor");  // for the State type
  m.def("step_result", []() -> const vantor::StepResult& { return prepared().step; },
        py::return_value_policy::copy);
  m.def("mask", []() -> const vantor::ActionMask& { return prepared().mask; },
        py::return_value_policy::copy);
  m.def("state", []() { return vantor::module::Guarded<vantor::State>(prepared().state); });
  m.def("take_state",
        [](const vantor::module::Guarded<vantor::State>& s) -> const vantor::StepResult& {
          [[maybe_unused]] vantor::State copy = vantor::module::locked(s, [](const vantor::State& v) { return v; });
          return prepared().step;
        },
        py::return_value_policy::copy);
  m.def("hash", []() { return prepared().hash; });
  m.def("nothing", []() {});
  // The engine bound with neither the checks on self nor the lock that vantor.Vantor
  // has, to tell what they cost a step.
  py::class_<vantor::Board>(m, "Unguarded", py::module_local())
      .def(py::init<>())
      .def("reset", &vantor::Board::reset)
      .def("step", &vantor::Board::step);
}
