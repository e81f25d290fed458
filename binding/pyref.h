// PyRef: owns exactly one reference to a Python object (or none) and
// releases it when it goes out of scope.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrune::binding {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null).
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace kestrune::binding
