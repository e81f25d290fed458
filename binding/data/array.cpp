// Array: a read-only one-dimensional array of 64-bit ("d") or 32-bit ("f")
// floats that owns its storage and lends it through the buffer protocol, so
// that numpy.asarray() and memoryview() read it without a copy.
#include <cstring>
#include <type_traits>

#include "common.h"

namespace kestrune::pydata {

namespace {

struct ArrayObject {
    PyObject_HEAD
    const void* data;     // the first value; a static placeholder when empty
    Py_ssize_t length;    // number of values (the buffer's shape)
    Py_ssize_t itemsize;  // 8 or 4 (the buffer's stride); 0 for an object not made by new_array
    char format[2];       // "d" or "f"
    // Constructed by new_array only (itemsize != 0); one of them holds the values.
    std::vector<double> doubles;
    std::vector<float> floats;
};

ArrayObject* as_array(PyObject* self) noexcept { return reinterpret_cast<ArrayObject*>(self); }

// An object made behind the module's back (object.__new__ on an
// interpreter that allows it) holds nothing; refused with TypeError.
ArrayObject* checked(PyObject* self) noexcept {
    ArrayObject* a = as_array(self);
    if (a->itemsize == 0) {
        PyErr_SetString(PyExc_TypeError, "Array object was not created by kestrune_data");
        return nullptr;
    }
    return a;
}

const double kEmpty = 0.0;  // the address lent for an empty array

template <class T>
PyObject* make(std::vector<T>&& values, bool noted) {
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, float>);
    PyTypeObject* type = array_type();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ArrayObject* a = as_array(self);
    new (&a->doubles) std::vector<double>();
    new (&a->floats) std::vector<float>();
    a->itemsize = sizeof(T);
    a->format[0] = std::is_same_v<T, double> ? 'd' : 'f';
    a->format[1] = '\0';
    a->length = static_cast<Py_ssize_t>(values.size());
    if (!noted) note_held_memory(values.data(), values.capacity() * sizeof(T));
    if constexpr (std::is_same_v<T, double>) {
        a->doubles = std::move(values);
        a->data = a->doubles.empty() ? static_cast<const void*>(&kEmpty) : a->doubles.data();
    } else {
        a->floats = std::move(values);
        a->data = a->floats.empty() ? static_cast<const void*>(&kEmpty) : a->floats.data();
    }
    return self;
}

void array_dealloc(PyObject* self) noexcept {
    ArrayObject* a = as_array(self);
    if (a->itemsize != 0) {
        a->doubles.~vector();
        a->floats.~vector();
    }
    free_object(self);
}

double value_at(const ArrayObject* a, Py_ssize_t i) noexcept {
    return a->itemsize == 8 ? static_cast<const double*>(a->data)[i]
                            : static_cast<double>(static_cast<const float*>(a->data)[i]);
}

// ---------------------------------------------------------------------------
// Buffer protocol

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    ArrayObject* a = checked(self);
    if (a == nullptr) return -1;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "kestrune_data.Array is read-only");
        return -1;
    }
    // The storage never moves or changes while the object lives, and the
    // view holds a reference to the object: nothing to release afterwards.
    Py_INCREF(self);
    view->obj = self;
    view->buf = const_cast<void*>(a->data);
    view->len = a->length * a->itemsize;
    view->readonly = 1;
    view->itemsize = a->itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? a->format : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &a->length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &a->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------
// Sequence behaviour (for users without NumPy)

Py_ssize_t array_length(PyObject* self) {
    ArrayObject* a = checked(self);
    return a == nullptr ? -1 : a->length;
}

// The sequence protocol has already added the length to a negative index.
PyObject* array_item(PyObject* self, Py_ssize_t i) {
    ArrayObject* a = checked(self);
    if (a == nullptr) return nullptr;
    if (i < 0 || i >= a->length) {
        PyErr_SetString(PyExc_IndexError, "Array index out of range");
        return nullptr;
    }
    return PyFloat_FromDouble(value_at(a, i));
}

// The values a[start::step] (count of them) as a new Array.
template <class T>
PyObject* slice_copy(const ArrayObject* a, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count) {
    const T* values = static_cast<const T*>(a->data);
    std::vector<T> out(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) out[static_cast<std::size_t>(k)] = values[start + k * step];
    return make(std::move(out), false);
}

// a[i] for an integer (negative from the end); a[i:j:k] as a new Array
// holding a copy of those values (a memoryview slices without copying).
PyObject* array_subscript(PyObject* self, PyObject* key) {
    ArrayObject* a = checked(self);
    if (a == nullptr) return nullptr;
    if (PyIndex_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += a->length;
        return array_item(self, i);
    }
    if (PySlice_Check(key)) {
        Py_ssize_t start = 0, stop = 0, step = 0, count = 0;
        if (PySlice_GetIndicesEx(key, a->length, &start, &stop, &step, &count) < 0) return nullptr;
        return a->itemsize == 8 ? slice_copy<double>(a, start, step, count) : slice_copy<float>(a, start, step, count);
    }
    PyErr_Format(PyExc_TypeError, "Array indices must be integers or slices, not %.200s", Py_TYPE(key)->tp_name);
    return nullptr;
}

PyObject* array_tolist(PyObject* self, PyObject*) {
    ArrayObject* a = checked(self);
    if (a == nullptr) return nullptr;
    PyRef list(PyList_New(a->length));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < a->length; ++i) {
        PyObject* item = PyFloat_FromDouble(value_at(a, i));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

PyObject* array_repr(PyObject* self) {
    ArrayObject* a = checked(self);
    if (a == nullptr) return nullptr;
    return PyUnicode_FromFormat("kestrune_data.Array('%s', %zd values)", a->format, a->length);
}

PyObject* get_typecode(PyObject* self, void*) {
    ArrayObject* a = checked(self);
    if (a == nullptr) return nullptr;
    return PyUnicode_FromString(a->format);
}

PyObject* get_itemsize(PyObject* self, void*) {
    ArrayObject* a = checked(self);
    if (a == nullptr) return nullptr;
    return PyLong_FromSsize_t(a->itemsize);
}

// ---------------------------------------------------------------------------
// Type

PyGetSetDef g_getset[] = {
    {"typecode", guarded<&get_typecode>, nullptr,
     "The values' type as the struct module and memoryview name it: 'd' (64-bit float) or 'f' (32-bit "
     "float).",
     nullptr},
    {"itemsize", guarded<&get_itemsize>, nullptr, "Bytes per value: 8 or 4.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"tolist", as_cfunction(guarded<&array_tolist>), METH_NOARGS,
     "tolist($self, /)\n--\n\nThe values as a list of Python floats (a copy)."},
    KESTRUNE_REFUSE_SUBCLASS_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A read-only one-dimensional array of floats.\n"
                    "\n"
                    "Its values are lent through the buffer protocol without a copy:\n"
                    "``numpy.asarray(a)`` and ``memoryview(a)`` see the array's own storage\n"
                    "(format 'd' or 'f', one dimension, read-only). The array owns that\n"
                    "storage: it stays valid after its Scan and its Run are gone or closed.\n"
                    "``len(a)``, ``a[i]``, ``a[i:j]`` (a new Array, copied), iteration and\n"
                    "``tolist()`` serve code without NumPy.")},
    {Py_tp_dealloc, as_slot(&array_dealloc)},
    {Py_tp_repr, as_slot(guarded<&array_repr>)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    {Py_bf_getbuffer, as_slot(guarded<&array_getbuffer>)},
    {Py_sq_length, as_slot(guarded<&array_length>)},
    {Py_sq_item, as_slot(guarded<&array_item>)},
    {Py_mp_length, as_slot(guarded<&array_length>)},
    {Py_mp_subscript, as_slot(guarded<&array_subscript>)},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    KESTRUNE_DATA_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_spec = {"kestrune_data.Array", sizeof(ArrayObject), 0, kValueTypeFlags, g_slots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* array_type() noexcept { return g_type; }

bool create_array_type() noexcept {
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
    return g_type != nullptr;
}

PyObject* new_array(std::vector<double>&& values, bool noted) { return make(std::move(values), noted); }
PyObject* new_array(std::vector<float>&& values, bool noted) { return make(std::move(values), noted); }

}  // namespace kestrune::pydata
