// The one owning reference type of the binding layer.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvane::python {

// Owns one strong reference to a Python object, or nothing. Built only
// through the named constructors, so every place that takes ownership says
// whether it steals a new reference or adds one to a borrowed object.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  // Takes over a new reference (possibly null, for a failed API call).
  [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
    Py_IncRef(obj);
    return Ref(obj);
  }

  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

  void reset() noexcept {
    if (PyObject* old = std::exchange(obj_, nullptr)) Py_DecRef(old);
  }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace quorvane::python
