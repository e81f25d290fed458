// What both extension modules need of the C API around their types: the
// guard that keeps C++ exceptions out of the interpreter, the casts into
// the type-erased slot tables, the release of heap-type instances, and the
// refusals that stand in on interpreters lacking the type flags (PyPy 7.3).
// It knows nothing of the library.
#pragma once

#include <Python.h>

#include <exception>
#include <type_traits>

namespace kestrune::binding {

// Value the interpreter expects from a failed slot function.
template <class R>
constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

// Wraps a function called by the interpreter so that no C++ exception
// leaves it: `Raise` turns what was thrown (null when it is not a
// std::exception) into a Python exception.
template <auto F, auto Raise>
struct GuardedBy;

template <class R, class... A, R (*F)(A...), auto Raise>
struct GuardedBy<F, Raise> {
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (const std::exception& e) {
            Raise(&e);
        } catch (...) {
            Raise(nullptr);
        }
        return failure_value<R>();
    }
};

// A function pointer stored in the type-erased slots of PyMethodDef and
// PyType_Slot.
template <class Fn>
inline PyCFunction as_cfunction(Fn fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
template <class Fn>
inline void* as_slot(Fn fn) noexcept {
    return reinterpret_cast<void*>(fn);
}

// Releases the memory of an instance of one of the modules' heap types.
inline void free_object(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    // Instances of heap types hold a reference to their type.
    Py_DECREF(type);
}

// The interpreter's refusal to create an instance of a value class, for
// interpreters whose types cannot disallow instantiation by a flag.
PyObject* refuse_instantiation(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
// `__init_subclass__` that refuses subclassing, for interpreters that do not
// honour a missing base-type flag.
PyObject* refuse_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept;
// Attribute assignment that only reaches attributes the type defines, for
// interpreters that give every instance a __dict__.
int refuse_new_attributes(PyObject* self, PyObject* name, PyObject* value) noexcept;

}  // namespace kestrune::binding

#ifdef PYPY_VERSION
// PyPy gives instances of every heap type a __dict__ and lets any type be
// subclassed: attribute assignment and __init_subclass__ refuse instead.
#define KESTRUNE_REFUSE_SUBCLASS_METHOD                                                             \
    {"__init_subclass__", ::kestrune::binding::as_cfunction(&::kestrune::binding::refuse_subclass), \
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
#define KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT \
    {Py_tp_setattro, ::kestrune::binding::as_slot(&::kestrune::binding::refuse_new_attributes)},
#else
#define KESTRUNE_REFUSE_SUBCLASS_METHOD
#define KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
#endif
