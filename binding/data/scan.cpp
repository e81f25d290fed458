// Scan: one decoded scan. It holds the decoded arrays and makes each into
// an Array the first time it is asked for (moving the storage, not copying
// it), so a loop that reads only some arrays pays only for those.
#include <optional>

#include "common.h"

namespace kestrune::pydata {

namespace {

struct ScanObject {
    PyObject_HEAD
    bool made;  // false for an object not made by new_scan
    bool ion_mobility;
    float rt_min;
    std::uint32_t function;
    std::uint64_t index;
    Py_ssize_t length;
    // Constructed by new_scan only (made). A vector is moved into its Array
    // on first use; the Array is kept, so every access returns the same one.
    std::optional<double> collision_energy;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<double> drift_time_ms;
    PyObject* mz_array;
    PyObject* intensity_array;
    PyObject* drift_time_array;
};

ScanObject* checked(PyObject* self) noexcept {
    auto* s = reinterpret_cast<ScanObject*>(self);
    if (!s->made) {
        PyErr_SetString(PyExc_TypeError, "Scan object was not created by kestrune_data");
        return nullptr;
    }
    return s;
}

void scan_dealloc(PyObject* self) noexcept {
    auto* s = reinterpret_cast<ScanObject*>(self);
    if (s->made) {
        Py_XDECREF(s->mz_array);
        Py_XDECREF(s->intensity_array);
        Py_XDECREF(s->drift_time_array);
        using Optional = std::optional<double>;
        s->collision_energy.~Optional();
        s->mz.~vector();
        s->intensity.~vector();
        s->drift_time_ms.~vector();
    }
    free_object(self);
}

// The Array of `values`, made on first use.
template <class T>
PyObject* array_of(PyObject*& cached, std::vector<T>& values) {
    if (cached == nullptr) {
        cached = new_array(std::move(values), true);
        if (cached == nullptr) return nullptr;
    }
    Py_INCREF(cached);
    return cached;
}

PyObject* get_mz(PyObject* self, void*) {
    ScanObject* s = checked(self);
    if (s == nullptr) return nullptr;
    return array_of(s->mz_array, s->mz);
}

PyObject* get_intensity(PyObject* self, void*) {
    ScanObject* s = checked(self);
    if (s == nullptr) return nullptr;
    return array_of(s->intensity_array, s->intensity);
}

PyObject* get_drift_time_ms(PyObject* self, void*) {
    ScanObject* s = checked(self);
    if (s == nullptr) return nullptr;
    if (!s->ion_mobility) Py_RETURN_NONE;
    return array_of(s->drift_time_array, s->drift_time_ms);
}

PyObject* get_function(PyObject* self, void*) {
    ScanObject* s = checked(self);
    return s == nullptr ? nullptr : PyLong_FromUnsignedLong(s->function);
}

PyObject* get_index(PyObject* self, void*) {
    ScanObject* s = checked(self);
    return s == nullptr ? nullptr : PyLong_FromUnsignedLongLong(s->index);
}

PyObject* get_rt_min(PyObject* self, void*) {
    ScanObject* s = checked(self);
    return s == nullptr ? nullptr : PyFloat_FromDouble(static_cast<double>(s->rt_min));
}

PyObject* get_ion_mobility(PyObject* self, void*) {
    ScanObject* s = checked(self);
    return s == nullptr ? nullptr : PyBool_FromLong(s->ion_mobility ? 1 : 0);
}

PyObject* get_collision_energy(PyObject* self, void*) {
    ScanObject* s = checked(self);
    if (s == nullptr) return nullptr;
    if (!s->collision_energy) Py_RETURN_NONE;
    return PyFloat_FromDouble(*s->collision_energy);
}

Py_ssize_t scan_length(PyObject* self) {
    ScanObject* s = checked(self);
    return s == nullptr ? -1 : s->length;
}

PyObject* scan_repr(PyObject* self) {
    ScanObject* s = checked(self);
    if (s == nullptr) return nullptr;
    PyRef rt(PyFloat_FromDouble(static_cast<double>(s->rt_min)));
    if (!rt) return nullptr;
    return PyUnicode_FromFormat("kestrune_data.Scan(function=%lu, index=%llu, rt_min=%R, %zd points%s)",
                                static_cast<unsigned long>(s->function), static_cast<unsigned long long>(s->index),
                                rt.get(), s->length, s->ion_mobility ? ", ion mobility" : "");
}

// ---------------------------------------------------------------------------
// Type

PyGetSetDef g_getset[] = {
    {"function", guarded<&get_function>, nullptr, "Function number (1-based).", nullptr},
    {"index", guarded<&get_index>, nullptr, "Scan number within the function (0-based).", nullptr},
    {"rt_min", guarded<&get_rt_min>, nullptr, "Retention time, minutes (a 32-bit value, widened).", nullptr},
    {"ion_mobility", guarded<&get_ion_mobility>, nullptr,
     "Whether the scan is an ion-mobility frame (then drift_time_ms is an Array).", nullptr},
    {"collision_energy", guarded<&get_collision_energy>, nullptr,
     "Collision energy from the function's statistics, or None.", nullptr},
    {"mz", guarded<&get_mz>, nullptr, "m/z of each point: an Array of 64-bit floats ('d').", nullptr},
    {"intensity", guarded<&get_intensity>, nullptr, "Intensity of each point: an Array of 32-bit floats ('f').",
     nullptr},
    {"drift_time_ms", guarded<&get_drift_time_ms>, nullptr,
     "Drift time of each point, ms: an Array of 64-bit floats ('d') for ion-mobility scans, else None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    KESTRUNE_REFUSE_SUBCLASS_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "One decoded scan, from Run.read_scan() or Run.scans().\n"
                    "\n"
                    "``len(scan)`` is its number of points. Its arrays (mz, intensity and, for\n"
                    "ion-mobility scans, drift_time_ms) own their storage: they stay valid\n"
                    "after the scan and its Run are gone or closed. Each access to an array\n"
                    "returns the same Array object.")},
    {Py_tp_dealloc, as_slot(&scan_dealloc)},
    {Py_tp_repr, as_slot(guarded<&scan_repr>)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    {Py_sq_length, as_slot(guarded<&scan_length>)},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    KESTRUNE_DATA_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_spec = {"kestrune_data.Scan", sizeof(ScanObject), 0, kValueTypeFlags, g_slots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* scan_type() noexcept { return g_type; }

bool create_scan_type() noexcept {
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
    return g_type != nullptr;
}

PyObject* new_scan(kestrune::Scan&& scan) {
    PyObject* self = g_type->tp_alloc(g_type, 0);
    if (self == nullptr) return nullptr;
    auto* s = reinterpret_cast<ScanObject*>(self);
    new (&s->collision_energy) std::optional<double>(scan.collision_energy);
    new (&s->mz) std::vector<double>(std::move(scan.mz));
    new (&s->intensity) std::vector<float>(std::move(scan.intensity));
    new (&s->drift_time_ms) std::vector<double>(std::move(scan.drift_time_ms));
    s->mz_array = nullptr;
    s->intensity_array = nullptr;
    s->drift_time_array = nullptr;
    s->ion_mobility = scan.ion_mobility;
    s->rt_min = scan.rt_min;
    s->function = scan.function;
    s->index = scan.index;
    s->length = static_cast<Py_ssize_t>(s->mz.size());
    s->made = true;
    note_held_memory(s, s->mz.capacity() * sizeof(double) + s->intensity.capacity() * sizeof(float) +
                            s->drift_time_ms.capacity() * sizeof(double));
    return self;
}

}  // namespace kestrune::pydata
