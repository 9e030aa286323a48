#include "module/native.h"

namespace py = pybind11;

PYBIND11_MODULE(_native, m, py::mod_gil_not_used()) {
  py::module_::import("vantor");  // vantor.State, which the batch and the notation take and give
  vantor::module::register_batch(m);
  vantor::module::register_replay(m);
  vantor::module::register_game(m);
  vantor::module::register_notation(m);
  vantor::module::register_states(m);
  vantor::module::register_search(m);
}
