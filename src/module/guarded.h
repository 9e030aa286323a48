// The C++ side of a vantor.Vantor or vantor.State object: the engine value and the lock
// that serialises every call on it, and the argument conversion that admits only a live,
// initialised object of the class. Shared by every extension module built on the engine.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>
#include <utility>

namespace vantor::module {

// An engine value owned by one Python object, with its own lock. Calls on one object are
// serialised by the lock even where no GIL does it (the free-threaded interpreter), so
// two threads sharing an object see the calls as if made one after the other; separate
// objects never contend. No Python code runs while a lock is held, so a call can never
// re-enter its own object's lock.
template <class T>
struct Guarded {
  Guarded() = default;
  explicit Guarded(T v) : value(std::move(v)) {}
  // Only a new, unshared object is moved (a result on its way to Python), and it gets a
  // lock of its own.
  Guarded(Guarded&& other) noexcept
    requires std::is_move_constructible_v<T>
      : value(std::move(other.value)) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  T value{};
  mutable PyMutex mutex{};
};

// Holds an object's lock for a scope. A thread that has to wait detaches its thread
// state meanwhile (PyMutex does so by itself), so a waiter never stalls the interpreter's
// stop-the-world pauses, nor, on a GIL build, the thread that holds the lock.
class Lock {
 public:
  explicit Lock(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~Lock() { PyMutex_Unlock(&mutex_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  PyMutex& mutex_;
};

// Runs f on the value under its lock and returns f's result by value, so that nothing
// the caller converts afterwards is read while another thread may write it.
template <class T, class F>
auto locked(const Guarded<T>& object, F&& f) {
  Lock lock(object.mutex);
  return std::forward<F>(f)(object.value);
}

template <class T, class F>
auto locked(Guarded<T>& object, F&& f) {
  Lock lock(object.mutex);
  return std::forward<F>(f)(object.value);
}

// As locked, for long pure engine work: other threads run meanwhile (the GIL is released
// and the thread state detached). The lock is not released by detaching, so calls on the
// same object still wait for this one.
template <class T, class F>
auto locked_detached(Guarded<T>& object, F&& f) {
  Lock lock(object.mutex);
  pybind11::gil_scoped_release detached;
  return std::forward<F>(f)(object.value);
}

// Marks a registered final class immutable, so that no instance's __class__ can be
// assigned to or from it: a method would otherwise run on an object of another layout.
// Called once the class has all its members.
inline void seal(const pybind11::handle& cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
}

}  // namespace vantor::module

namespace pybind11::detail {

// Admits exactly a live instance of the registered class: an instance of another class is
// not converted (TypeError from the call), and an instance made by __new__ without
// __init__ raises TypeError instead of being handed uninitialised memory. None becomes a
// null pointer, for the arguments that admit it. The classes are final and immutable, so
// an instance's class is the one it was made with.
template <class T>
class type_caster<vantor::module::Guarded<T>> : public type_caster_base<vantor::module::Guarded<T>> {
  using Base = type_caster_base<vantor::module::Guarded<T>>;

 public:
  bool load(handle src, bool convert) {
    if (!src || src.is_none()) return Base::load(src, convert);
    if (this->typeinfo == nullptr || Py_TYPE(src.ptr()) != this->typeinfo->type) return false;
    value_and_holder v_h = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(this->typeinfo);
    if (!v_h.holder_constructed()) {
      throw type_error(std::string(this->typeinfo->type->tp_name) +
                       " object is not initialised: it was made by __new__ without __init__");
    }
    this->value = v_h.value_ptr();
    return true;
  }
};

}  // namespace pybind11::detail
