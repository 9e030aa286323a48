// Caller-owned NumPy arrays as the native layers write them: checked here (dtype, shape,
// layout, writability) so that a wrong array is a caller error, named before anything runs.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

namespace vantor::module {

// The data of a writable C-contiguous array of count rows of width T values, or null for
// None.
template <class T>
T* rows(const pybind11::handle& object, const char* name, pybind11::ssize_t count, pybind11::ssize_t width) {
  if (object.is_none()) return nullptr;
  auto array = pybind11::reinterpret_borrow<pybind11::array>(object);
  const bool fits = pybind11::isinstance<pybind11::array>(object) && array.dtype().is(pybind11::dtype::of<T>()) &&
                    (array.flags() & pybind11::array::c_style) && array.writeable() &&
                    array.size() == count * width && array.ndim() >= 1 && array.shape(0) == count;
  if (!fits) {
    throw pybind11::value_error(std::string(name) + " must be a writable C-contiguous " +
                                pybind11::str(pybind11::dtype::of<T>()).cast<std::string>() + " array of " +
                                std::to_string(count) + " rows of " + std::to_string(width) + " values");
  }
  return static_cast<T*>(array.mutable_data());
}

}  // namespace vantor::module
