// The six value classes handed to Python: immutable snapshots with read-only
// properties, made only by the module.
#include <memory>
#include <string>

#include "common.h"
#include "text.h"

namespace kestrune::binding {

namespace {

// ---------------------------------------------------------------------------
// Object layouts. Small trivially copyable records live inside the object;
// anything owning memory is held through a pointer, so an object whose
// payload was never set (null) is recognisable and releases nothing.

template <class T>
struct Inline {
    PyObject_HEAD
    T value;
};

template <class T>
struct Boxed {
    PyObject_HEAD
    T* value;
};

struct SpectrumData {
    std::vector<double> mz;
    std::vector<float> intensity;
};

struct ImsSpectrumData {
    std::vector<double> mz;
    std::vector<double> drift_time_ms;
    std::vector<float> intensity;
};

using raw::chroms::ChromChannel;
using raw::chroms::ChromPoint;
using raw::functions_inf::FunctionInfo;
using raw::Header;

template <class T>
const T* inline_value(PyObject* self) noexcept {
    return &reinterpret_cast<Inline<T>*>(self)->value;
}

template <class T>
const T* boxed_value(PyObject* self) noexcept {
    const T* value = reinterpret_cast<Boxed<T>*>(self)->value;
    // Only an object made behind the module's back (object.__new__ on an
    // interpreter that allows it) has no contents.
    if (value == nullptr)
        PyErr_Format(PyExc_TypeError, "%s object was not created by kestrune", Py_TYPE(self)->tp_name);
    return value;
}

template <class T>
void inline_dealloc(PyObject* self) noexcept {
    free_object(self);
}

template <class T>
void boxed_dealloc(PyObject* self) noexcept {
    delete reinterpret_cast<Boxed<T>*>(self)->value;
    free_object(self);
}

// A new object of `type` owning `value`.
template <class T>
PyObject* new_boxed(PyTypeObject* type, std::unique_ptr<T> value) {
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Boxed<T>*>(self)->value = value.release();
    return self;
}

template <class T>
PyObject* new_inline(PyTypeObject* type, const T& value) {
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Inline<T>*>(self)->value = value;
    return self;
}

// ---------------------------------------------------------------------------
// Conversions to Python values

#ifdef PYPY_VERSION
// PyPy's C API builds a list element by element slowly (every float gets a
// C-level proxy); its own array type converts a whole buffer at once.
PyObject* array_type() noexcept {
    static PyObject* type = nullptr;  // kept for the process
    if (type == nullptr) {
        PyRef module(PyImport_ImportModule("array"));
        if (!module) return nullptr;
        type = PyObject_GetAttrString(module.get(), "array");
    }
    return type;
}

template <class F>
PyObject* float_list(const std::vector<F>& values) noexcept {
    static_assert(std::is_same_v<F, double> || std::is_same_v<F, float>);
    PyObject* type = array_type();
    if (type == nullptr) return nullptr;
    PyRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                          static_cast<Py_ssize_t>(values.size() * sizeof(F))));
    if (!bytes) return nullptr;
    PyRef array(PyObject_CallFunction(type, "sO", std::is_same_v<F, double> ? "d" : "f", bytes.get()));
    if (!array) return nullptr;
    return PyObject_CallMethod(array.get(), "tolist", nullptr);
}
#else
template <class F>
PyObject* float_list(const std::vector<F>& values) noexcept {
    const auto n = static_cast<Py_ssize_t>(values.size());
    PyObject* list = PyList_New(n);
    if (list == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(values[static_cast<std::size_t>(i)]));
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}
#endif

PyObject* to_py(float v) noexcept { return PyFloat_FromDouble(static_cast<double>(v)); }
PyObject* to_py(double v) noexcept { return PyFloat_FromDouble(v); }
PyObject* to_py(std::uint8_t v) noexcept { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(std::uint16_t v) noexcept { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(std::uint32_t v) noexcept { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(std::uint64_t v) noexcept { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(const std::string& v) noexcept { return new_str(v); }
PyObject* to_py(const std::optional<std::string>& v) noexcept {
    if (!v) Py_RETURN_NONE;
    return new_str(*v);
}

// Property getters over a data member of the stored record.
template <class T, auto Member>
PyObject* get_inline(PyObject* self, void*) {
    return to_py(inline_value<T>(self)->*Member);
}

template <class T, auto Member>
PyObject* get_boxed(PyObject* self, void*) {
    const T* value = boxed_value<T>(self);
    if (value == nullptr) return nullptr;
    return to_py(value->*Member);
}

template <class T, auto Member>
PyObject* get_boxed_list(PyObject* self, void*) {
    const T* value = boxed_value<T>(self);
    if (value == nullptr) return nullptr;
    return float_list(value->*Member);
}

template <class T>
Py_ssize_t boxed_len(PyObject* self) {
    const T* value = boxed_value<T>(self);
    if (value == nullptr) return -1;
    return static_cast<Py_ssize_t>(value->mz.size());
}

// ---------------------------------------------------------------------------
// Type creation

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kValueFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                      | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;
#define KESTRUNE_REFUSE_NEW_SLOT
#else
// Without the flag the interpreter would fall back to object.__new__.
constexpr unsigned long kValueFlags = Py_TPFLAGS_DEFAULT;
#define KESTRUNE_REFUSE_NEW_SLOT {Py_tp_new, as_slot(&refuse_instantiation)},
#endif

PyMethodDef g_value_methods[] = {
    KESTRUNE_REFUSE_SUBCLASS_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* type_from_spec(PyTypeObject*& cache, PyType_Spec& spec) noexcept {
    if (cache == nullptr) cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return cache;
}

// ---------------------------------------------------------------------------
// Spectrum

PyObject* spectrum_repr(PyObject* self) {
    const SpectrumData* s = boxed_value<SpectrumData>(self);
    if (s == nullptr) return nullptr;
    return new_str(fmt::format("Spectrum({} peaks)", s->mz.size()));
}

PyGetSetDef g_spectrum_getset[] = {
    {"mz", guarded<&get_boxed_list<SpectrumData, &SpectrumData::mz>>, nullptr, "Calibrated m/z values (Da).",
     nullptr},
    {"intensity", guarded<&get_boxed_list<SpectrumData, &SpectrumData::intensity>>, nullptr, "Intensity values.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_spectrum_slots[] = {
    {Py_tp_doc, const_cast<char*>("A decoded 1-D mass spectrum (m/z vs intensity).\n"
                                  "\n"
                                  "Returned by `RawReader.read_spectrum()` for Encoding A and C functions.")},
    {Py_tp_dealloc, as_slot(&boxed_dealloc<SpectrumData>)},
    {Py_tp_repr, as_slot(guarded<&spectrum_repr>)},
    {Py_sq_length, as_slot(guarded<&boxed_len<SpectrumData>>)},
    {Py_tp_getset, g_spectrum_getset},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {Py_tp_methods, g_value_methods},
    KESTRUNE_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_spectrum_spec = {"kestrune.Spectrum", sizeof(Boxed<SpectrumData>), 0, kValueFlags, g_spectrum_slots};
PyTypeObject* g_spectrum_type = nullptr;

// ---------------------------------------------------------------------------
// ImsSpectrum

PyObject* ims_spectrum_repr(PyObject* self) {
    const ImsSpectrumData* s = boxed_value<ImsSpectrumData>(self);
    if (s == nullptr) return nullptr;
    return new_str(fmt::format("ImsSpectrum({} ions)", s->mz.size()));
}

PyGetSetDef g_ims_spectrum_getset[] = {
    {"mz", guarded<&get_boxed_list<ImsSpectrumData, &ImsSpectrumData::mz>>, nullptr,
     "Calibrated m/z values (Da).", nullptr},
    {"drift_time_ms", guarded<&get_boxed_list<ImsSpectrumData, &ImsSpectrumData::drift_time_ms>>, nullptr,
     "Ion drift times (ms).", nullptr},
    {"intensity", guarded<&get_boxed_list<ImsSpectrumData, &ImsSpectrumData::intensity>>, nullptr,
     "Intensity values (raw ion counts).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_ims_spectrum_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A decoded IMS spectrum: m/z, drift time, and intensity per ion.\n"
                       "\n"
                       "Returned by `RawReader.read_ims_spectrum()` for Encoding B (SYNAPT) functions.")},
    {Py_tp_dealloc, as_slot(&boxed_dealloc<ImsSpectrumData>)},
    {Py_tp_repr, as_slot(guarded<&ims_spectrum_repr>)},
    {Py_sq_length, as_slot(guarded<&boxed_len<ImsSpectrumData>>)},
    {Py_tp_getset, g_ims_spectrum_getset},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {Py_tp_methods, g_value_methods},
    KESTRUNE_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_ims_spectrum_spec = {"kestrune.ImsSpectrum", sizeof(Boxed<ImsSpectrumData>), 0, kValueFlags,
                                   g_ims_spectrum_slots};
PyTypeObject* g_ims_spectrum_type = nullptr;

// ---------------------------------------------------------------------------
// ChromChannel

PyObject* chrom_channel_repr(PyObject* self) {
    const ChromChannel* c = boxed_value<ChromChannel>(self);
    if (c == nullptr) return nullptr;
    return new_str(fmt::format("ChromChannel(index={}, name='{}', units='{}')", c->index, c->name, c->units));
}

PyGetSetDef g_chrom_channel_getset[] = {
    {"index", guarded<&get_boxed<ChromChannel, &ChromChannel::index>>, nullptr,
     "0-based index among data records.", nullptr},
    {"source_type", guarded<&get_boxed<ChromChannel, &ChromChannel::source_type>>, nullptr,
     "Source device type (4 = BSM pump, 1 = column/sample device).", nullptr},
    {"name", guarded<&get_boxed<ChromChannel, &ChromChannel::name>>, nullptr,
     "Channel name decoded from Windows-1252.", nullptr},
    {"scale_f", guarded<&get_boxed<ChromChannel, &ChromChannel::scale_f>>, nullptr,
     "Scale factor from the `$CC$` spec string.", nullptr},
    {"units", guarded<&get_boxed<ChromChannel, &ChromChannel::units>>, nullptr,
     "Engineering units (e.g. \"%\", \"C\", \"bar\").", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_chrom_channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Description of a single recorded chromatographic channel from `_CHROMS.INF`.")},
    {Py_tp_dealloc, as_slot(&boxed_dealloc<ChromChannel>)},
    {Py_tp_repr, as_slot(guarded<&chrom_channel_repr>)},
    {Py_tp_getset, g_chrom_channel_getset},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {Py_tp_methods, g_value_methods},
    KESTRUNE_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_chrom_channel_spec = {"kestrune.ChromChannel", sizeof(Boxed<ChromChannel>), 0, kValueFlags,
                                    g_chrom_channel_slots};
PyTypeObject* g_chrom_channel_type = nullptr;

// ---------------------------------------------------------------------------
// ChromPoint

PyObject* chrom_point_repr(PyObject* self) {
    const ChromPoint* p = inline_value<ChromPoint>(self);
    return new_str(fmt::format("ChromPoint(rt_min={}, value={})", text::fixed(static_cast<double>(p->rt_min), 4),
                               text::fixed(static_cast<double>(p->value), 4)));
}

PyGetSetDef g_chrom_point_getset[] = {
    {"rt_min", guarded<&get_inline<ChromPoint, &ChromPoint::rt_min>>, nullptr, "Retention time (minutes).",
     nullptr},
    {"value", guarded<&get_inline<ChromPoint, &ChromPoint::value>>, nullptr,
     "Channel value in the units given by `ChromChannel.units`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_chrom_point_slots[] = {
    {Py_tp_doc, const_cast<char*>("A single (retention-time, value) sample from a `_CHROnnnn.DAT` file.")},
    {Py_tp_dealloc, as_slot(&inline_dealloc<ChromPoint>)},
    {Py_tp_repr, as_slot(guarded<&chrom_point_repr>)},
    {Py_tp_getset, g_chrom_point_getset},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {Py_tp_methods, g_value_methods},
    KESTRUNE_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_chrom_point_spec = {"kestrune.ChromPoint", sizeof(Inline<ChromPoint>), 0, kValueFlags,
                                  g_chrom_point_slots};
PyTypeObject* g_chrom_point_type = nullptr;

// ---------------------------------------------------------------------------
// FunctionInfo

PyObject* function_info_is_lock_mass(PyObject* self, void*) {
    return PyBool_FromLong(inline_value<FunctionInfo>(self)->is_lock_mass() ? 1 : 0);
}

PyObject* function_info_repr(PyObject* self) {
    const FunctionInfo* f = inline_value<FunctionInfo>(self);
    return new_str(fmt::format("FunctionInfo(index={}, mz=[{},{}], scan_subtype={:#04x}, lock_mass={})", f->index,
                               text::fixed(static_cast<double>(f->mz_low), 0),
                               text::fixed(static_cast<double>(f->mz_high), 0), f->scan_subtype,
                               f->is_lock_mass() ? "true" : "false"));
}

PyGetSetDef g_function_info_getset[] = {
    {"index", guarded<&get_inline<FunctionInfo, &FunctionInfo::index>>, nullptr, "1-based function index.",
     nullptr},
    {"function_type", guarded<&get_inline<FunctionInfo, &FunctionInfo::function_type>>, nullptr,
     "Raw function type code (always 0x12 in known corpus).", nullptr},
    {"scan_subtype", guarded<&get_inline<FunctionInfo, &FunctionInfo::scan_subtype>>, nullptr,
     "Scan subtype byte; bit 7 set means lock-mass channel.", nullptr},
    {"cycle_time_s", guarded<&get_inline<FunctionInfo, &FunctionInfo::cycle_time_s>>, nullptr,
     "Total slot duration per scan cycle (seconds).", nullptr},
    {"interscan_delay_s", guarded<&get_inline<FunctionInfo, &FunctionInfo::interscan_delay_s>>, nullptr,
     "Idle time between end of one scan and start of the next (seconds).", nullptr},
    {"scan_time_s", guarded<&get_inline<FunctionInfo, &FunctionInfo::scan_time_s>>, nullptr,
     "Data collection time per scan (seconds).", nullptr},
    {"tof_depth", guarded<&get_inline<FunctionInfo, &FunctionInfo::tof_depth>>, nullptr,
     "Number of TDC bins per pusher pulse.", nullptr},
    {"mz_low", guarded<&get_inline<FunctionInfo, &FunctionInfo::mz_low>>, nullptr,
     "Acquisition m/z lower bound (Da).", nullptr},
    {"mz_high", guarded<&get_inline<FunctionInfo, &FunctionInfo::mz_high>>, nullptr,
     "Acquisition m/z upper bound (Da).", nullptr},
    {"is_lock_mass", guarded<&function_info_is_lock_mass>, nullptr,
     "True if this is a lock-mass / reference channel (bit 7 of scan_subtype).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_function_info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Metadata for a single acquisition function from `_FUNCTNS.INF`.")},
    {Py_tp_dealloc, as_slot(&inline_dealloc<FunctionInfo>)},
    {Py_tp_repr, as_slot(guarded<&function_info_repr>)},
    {Py_tp_getset, g_function_info_getset},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {Py_tp_methods, g_value_methods},
    KESTRUNE_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_function_info_spec = {"kestrune.FunctionInfo", sizeof(Inline<FunctionInfo>), 0, kValueFlags,
                                    g_function_info_slots};
PyTypeObject* g_function_info_type = nullptr;

// ---------------------------------------------------------------------------
// RunHeader

PyObject* run_header_repr(PyObject* self) {
    const Header* h = boxed_value<Header>(self);
    if (h == nullptr) return nullptr;
    return new_str(fmt::format("RunHeader(instrument={}, acquired_date={})",
                               text::quoted(h->instrument.value_or(std::string())),
                               text::quoted(h->acquired_date.value_or(std::string()))));
}

PyGetSetDef g_run_header_getset[] = {
    {"version", guarded<&get_boxed<Header, &Header::version>>, nullptr,
     "MassLynx file format version string (e.g. `\"01.00\"`).", nullptr},
    {"acquired_name", guarded<&get_boxed<Header, &Header::acquired_name>>, nullptr,
     "Sample or acquisition file name recorded at collection time.", nullptr},
    {"acquired_date", guarded<&get_boxed<Header, &Header::acquired_date>>, nullptr,
     "Acquisition date string (e.g. `\"14-Jan-2021\"`).", nullptr},
    {"acquired_time", guarded<&get_boxed<Header, &Header::acquired_time>>, nullptr,
     "Acquisition time string (e.g. `\"16:20:52\"`).", nullptr},
    {"instrument", guarded<&get_boxed<Header, &Header::instrument>>, nullptr,
     "Instrument identifier string (e.g. `\"QTOF\"`, `\"XEVO-G2XSQTOF#NotSet\"`).", nullptr},
    {"operator", guarded<&get_boxed<Header, &Header::operator_>>, nullptr,
     "Operator / user name recorded at collection time.", nullptr},
    {"sample_description", guarded<&get_boxed<Header, &Header::sample_description>>, nullptr,
     "Free-text sample description field.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_run_header_slots[] = {
    {Py_tp_doc, const_cast<char*>("Acquisition metadata from `_HEADER.TXT`.\n"
                                  "\n"
                                  "Returned by `RawReader.header`.")},
    {Py_tp_dealloc, as_slot(&boxed_dealloc<Header>)},
    {Py_tp_repr, as_slot(guarded<&run_header_repr>)},
    {Py_tp_getset, g_run_header_getset},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {Py_tp_methods, g_value_methods},
    KESTRUNE_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_run_header_spec = {"kestrune.RunHeader", sizeof(Boxed<Header>), 0, kValueFlags,
                                 g_run_header_slots};
PyTypeObject* g_run_header_type = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points

PyTypeObject* run_header_type() noexcept { return type_from_spec(g_run_header_type, g_run_header_spec); }
PyTypeObject* function_info_type() noexcept { return type_from_spec(g_function_info_type, g_function_info_spec); }
PyTypeObject* spectrum_type() noexcept { return type_from_spec(g_spectrum_type, g_spectrum_spec); }
PyTypeObject* ims_spectrum_type() noexcept { return type_from_spec(g_ims_spectrum_type, g_ims_spectrum_spec); }
PyTypeObject* chrom_channel_type() noexcept { return type_from_spec(g_chrom_channel_type, g_chrom_channel_spec); }
PyTypeObject* chrom_point_type() noexcept { return type_from_spec(g_chrom_point_type, g_chrom_point_spec); }

PyObject* new_spectrum(std::vector<double>&& mz, std::vector<float>&& intensity) {
    auto data = std::make_unique<SpectrumData>(SpectrumData{std::move(mz), std::move(intensity)});
    return new_boxed(spectrum_type(), std::move(data));
}

PyObject* new_ims_spectrum(std::vector<double>&& mz, std::vector<double>&& drift_time_ms,
                           std::vector<float>&& intensity) {
    auto data = std::make_unique<ImsSpectrumData>(
        ImsSpectrumData{std::move(mz), std::move(drift_time_ms), std::move(intensity)});
    return new_boxed(ims_spectrum_type(), std::move(data));
}

PyObject* new_chrom_channel(const ChromChannel& channel) {
    return new_boxed(chrom_channel_type(), std::make_unique<ChromChannel>(channel));
}

PyObject* new_chrom_point(const ChromPoint& point) { return new_inline(chrom_point_type(), point); }

PyObject* new_function_info(const FunctionInfo& info) { return new_inline(function_info_type(), info); }

PyObject* new_run_header(const Header& header) {
    return new_boxed(run_header_type(), std::make_unique<Header>(header));
}

}  // namespace kestrune::binding
