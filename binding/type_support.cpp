#include "type_support.h"

namespace kestrune::binding {

PyObject* refuse_instantiation(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) noexcept {
    const auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const char* base = (PyType_Check(cls) && type->tp_base != nullptr) ? type->tp_base->tp_name : "kestrune class";
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", base);
    return nullptr;
}

int refuse_new_attributes(PyObject* self, PyObject* name, PyObject* value) noexcept {
    // Every attribute of the module's classes is read-only, so nothing is
    // ever stored: a known name is not writable, any other name is unknown.
    (void)value;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "attribute name must be a string");
        return -1;
    }
    const bool defined = PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name) == 1;
    if (defined)
        PyErr_Format(PyExc_AttributeError, "attribute '%s' of '%s' objects is not writable", text,
                     Py_TYPE(self)->tp_name);
    else
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name, text);
    return -1;
}

}  // namespace kestrune::binding
