// RawReader: the Python class that opens a .raw run directory and answers
// from what it loaded, reading scans and chromatograms on demand.
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include "common.h"
#include "fs.h"
#include "raw/extern_inf.h"
#include "reader/reader.h"
#include "text.h"

namespace kestrune::binding {

namespace {

__extension__ typedef unsigned __int128 u128;

struct State {
    reader::Reader reader;
    std::map<std::uint32_t, raw::ExternFunction> extern_functions;
    std::optional<raw::Polarity> polarity;
    PyRef path;                 // the str passed by the caller, for messages and repr
    std::filesystem::path dir;  // the same path in the file system's encoding
    std::vector<raw::functions_inf::FunctionInfo> function_table;
    raw::Header header;
    std::optional<raw::ChromsInf> chroms;
};

struct RawReaderObject {
    PyObject_HEAD
    State* state;
};

// The state of a reader, or null with an exception set.
State* state_of(PyObject* self) noexcept {
    State* state = reinterpret_cast<RawReaderObject*>(self)->state;
    if (state == nullptr) PyErr_SetString(PyExc_TypeError, "RawReader object was not created by RawReader()");
    return state;
}

PyObject* raise_runtime_obj(PyObject* message) noexcept {
    if (message != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Argument conversion

struct UnsignedArg {
    const char* method;
    const char* name;
    std::uint64_t max;
    std::uint64_t value = 0;
};

// PyArg "O&" converter: a Python integer (or an object with __index__) from
// 0 to `max`; floats and everything else are refused.
int convert_unsigned(PyObject* obj, void* out) noexcept {
    auto* arg = static_cast<UnsignedArg*>(out);
    if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", arg->method, arg->name,
                     Py_TYPE(obj)->tp_name);
        return 0;
    }
    PyRef number(PyNumber_Index(obj));
    if (!number) return 0;
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (small == -1 && overflow == 0 && PyErr_Occurred()) return 0;
    std::uint64_t value = 0;
    bool in_range = false;
    if (overflow == 0) {
        in_range = small >= 0;
        value = static_cast<std::uint64_t>(small);
    } else if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(number.get());
        if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return 0;
            PyErr_Clear();
        } else {
            in_range = true;
            value = big;
        }
    }
    if (!in_range || value > arg->max) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must be an integer from 0 to %llu", arg->method,
                     arg->name, static_cast<unsigned long long>(arg->max));
        return 0;
    }
    arg->value = value;
    return 1;
}

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;
constexpr std::uint64_t kU64Max = ~std::uint64_t{0};

// Parses (func_index) for `method`.
bool parse_function_arg(PyObject* args, PyObject* kwargs, const char* format, const char* method,
                        std::uint32_t& func_index) {
    static const char* kw[] = {"func_index", nullptr};
    UnsignedArg f{method, "func_index", kU32Max};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &convert_unsigned, &f))
        return false;
    func_index = static_cast<std::uint32_t>(f.value);
    return true;
}

// Parses (func_index, scan_index) for `method`.
bool parse_scan_args(PyObject* args, PyObject* kwargs, const char* format, const char* method,
                     std::uint32_t& func_index, std::uint64_t& scan_index) {
    static const char* kw[] = {"func_index", "scan_index", nullptr};
    UnsignedArg f{method, "func_index", kU32Max};
    UnsignedArg s{method, "scan_index", kU64Max};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &convert_unsigned, &f,
                                     &convert_unsigned, &s))
        return false;
    func_index = static_cast<std::uint32_t>(f.value);
    scan_index = s.value;
    return true;
}

// ---------------------------------------------------------------------------
// Helpers

// The reader's entry of a function, or null with "function {} not found".
const reader::FunctionEntry* function_entry(const State& state, std::uint32_t func_index) {
    for (const reader::FunctionEntry& entry : state.reader.functions())
        if (entry.number == func_index) return &entry;
    raise_runtime(fmt::format("function {} not found", func_index));
    return nullptr;
}

std::string decimal(u128 value) {
    char digits[40];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return std::string(std::make_reverse_iterator(digits + n), std::make_reverse_iterator(digits));
}

// The str path in the file system's encoding (as os.fsencode gives it), or
// nothing when it cannot name a file (unencodable, embedded NUL).
std::optional<std::filesystem::path> fs_path(PyObject* path) {
    PyRef encoded(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    const std::string bytes(data, static_cast<std::size_t>(size));
    if (bytes.find('\0') != std::string::npos) return std::nullopt;
    return std::filesystem::path(bytes);
}

// ---------------------------------------------------------------------------
// Construction and destruction

PyObject* raw_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"path", nullptr};
    PyObject* path = nullptr;  // borrowed
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:RawReader", const_cast<char**>(kw), &path)) return nullptr;

    const std::optional<std::filesystem::path> dir = fs_path(path);
    if (!dir || !fs::is_directory(*dir))
        return raise_runtime_obj(PyUnicode_FromFormat("'%U' is not a directory", path));

    auto opened = reader::Reader::open(*dir);
    if (!opened) return to_py_err(std::move(opened.error()));

    auto state = std::make_unique<State>(State{std::move(*opened), {}, {}, PyRef::borrow(path), *dir, {}, {}, {}});
    state->header = state->reader.header();
    state->extern_functions = state->reader.extern_inf().functions;
    state->polarity = state->reader.extern_inf().polarity;

    auto table_file = find_side_file(*dir, "_FUNCTNS.INF");
    if (!table_file) return to_py_err(std::move(table_file.error()));
    if (!*table_file) return raise_runtime("_FUNCTNS.INF not found");
    auto table = raw::FunctionTable::from_path(**table_file);
    if (!table) return to_py_err(std::move(table.error()));
    state->function_table = std::move(table->functions);

    auto chroms_file = find_side_file(*dir, "_CHROMS.INF");
    if (!chroms_file) return to_py_err(std::move(chroms_file.error()));
    if (*chroms_file) {
        auto chroms = raw::ChromsInf::from_path(**chroms_file);
        if (!chroms)
            return raise_runtime(fmt::format("reading {}: {}", **chroms_file, chroms.error().to_string()));
        state->chroms = std::move(*chroms);
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<RawReaderObject*>(self)->state = state.release();
    return self;
}

void raw_reader_dealloc(PyObject* self) noexcept {
    delete reinterpret_cast<RawReaderObject*>(self)->state;
    free_object(self);
}

// ---------------------------------------------------------------------------
// Properties

PyObject* get_header(PyObject* self, void*) {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    return new_run_header(s->header);
}

PyObject* get_polarity(PyObject* self, void*) {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    if (!s->polarity) Py_RETURN_NONE;
    return PyUnicode_FromString(*s->polarity == raw::Polarity::Positive ? "positive" : "negative");
}

// A new list of `items` converted by `make`.
template <class T, class Make>
PyObject* object_list(const std::vector<T>& items, Make make) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = make(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* get_functions(PyObject* self, void*) {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    return object_list(s->function_table, new_function_info);
}

PyObject* get_channels(PyObject* self, void*) {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    if (!s->chroms) return PyList_New(0);
    return object_list(s->chroms->channels, new_chrom_channel);
}

// ---------------------------------------------------------------------------
// Methods

PyObject* ms_level(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t f = 0;
    if (!parse_function_arg(args, kwargs, "O&:ms_level", "ms_level", f)) return nullptr;
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    long level = 1;
    if (auto it = s->extern_functions.find(f); it != s->extern_functions.end()) {
        switch (it->second.kind) {
            case raw::FunctionKind::Parent:
            case raw::FunctionKind::Msms:
            case raw::FunctionKind::Daughter: level = 2; break;
            default: break;
        }
    }
    return PyLong_FromLong(level);
}

PyObject* n_scans(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t f = 0;
    if (!parse_function_arg(args, kwargs, "O&:n_scans", "n_scans", f)) return nullptr;
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    const reader::FunctionEntry* entry = function_entry(*s, f);
    if (entry == nullptr) return nullptr;
    return PyLong_FromSize_t(entry->idx.size());
}

PyObject* function_encoding(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t f = 0;
    if (!parse_function_arg(args, kwargs, "O&:function_encoding", "function_encoding", f)) return nullptr;
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    const reader::FunctionEntry* entry = function_entry(*s, f);
    if (entry == nullptr) return nullptr;
    const char* letter = "a";
    switch (entry->encoding) {
        case reader::Encoding::A: letter = "a"; break;
        case reader::Encoding::B: letter = "b"; break;
        case reader::Encoding::C: letter = "c"; break;
        case reader::Encoding::D: letter = "d"; break;
    }
    return PyUnicode_FromString(letter);
}

PyObject* retention_time(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t f = 0;
    std::uint64_t scan = 0;
    if (!parse_scan_args(args, kwargs, "O&O&:retention_time", "retention_time", f, scan)) return nullptr;
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    const reader::FunctionEntry* entry = function_entry(*s, f);
    if (entry == nullptr) return nullptr;
    if (scan >= entry->idx.size()) return raise_runtime(fmt::format("scan {} out of range", scan));
    return PyFloat_FromDouble(static_cast<double>(entry->idx.rt_min(static_cast<std::size_t>(scan))));
}

PyObject* read_spectrum(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t f = 0;
    std::uint64_t scan = 0;
    if (!parse_scan_args(args, kwargs, "O&O&:read_spectrum", "read_spectrum", f, scan)) return nullptr;
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    auto decoded = s->reader.decode_scan(f, scan);
    if (!decoded) return to_py_err(std::move(decoded.error()));
    // An IMS scan gives its ions as they are, drift times dropped.
    return new_spectrum(std::move(decoded->mz), std::move(decoded->intensity));
}

PyObject* read_ims_spectrum(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t f = 0;
    std::uint64_t scan = 0;
    if (!parse_scan_args(args, kwargs, "O&O&:read_ims_spectrum", "read_ims_spectrum", f, scan)) return nullptr;
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    auto decoded = s->reader.decode_scan(f, scan);
    if (!decoded) return to_py_err(std::move(decoded.error()));
    if (!decoded->ion_mobility) return raise_runtime("function is not IMS; use read_spectrum instead");
    return new_ims_spectrum(std::move(decoded->mz), std::move(decoded->drift_time_ms), std::move(decoded->intensity));
}

PyObject* read_chrom(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"channel_index", nullptr};
    UnsignedArg c{"read_chrom", "channel_index", kU64Max};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:read_chrom", const_cast<char**>(kw), &convert_unsigned, &c))
        return nullptr;
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    if (!s->chroms) return raise_runtime("no _CHROMS.INF in this .raw directory");

    // File numbers start at 3. A number beyond 64 bits names no file that can
    // exist, so it is reported without listing the directory.
    const u128 number = u128{c.value} + 3;
    if (number > u128{kU64Max}) return raise_runtime(fmt::format("CHRO file {} not found", decimal(number)));
    const auto n = static_cast<std::uint64_t>(number);

    auto file = find_side_file(s->dir, fmt::format("_CHRO{:03}.DAT", n));
    if (!file) return to_py_err(std::move(file.error()));
    if (!*file) return raise_runtime(fmt::format("CHRO file {} not found", n));
    auto points = raw::chroms::read_chro_dat(**file);
    if (!points) return raise_runtime(fmt::format("reading {}: {}", **file, points.error().to_string()));
    return object_list(*points, new_chrom_point);
}

PyObject* raw_reader_repr(PyObject* self) {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    const std::size_t channels = s->chroms ? s->chroms->channels.size() : 0;
    return PyUnicode_FromFormat("RawReader('%U', %zu function(s), %zu channel(s))", s->path.get(),
                                s->function_table.size(), channels);
}

// ---------------------------------------------------------------------------
// Type

PyGetSetDef g_getset[] = {
    {"header", guarded<&get_header>, nullptr, "Acquisition metadata parsed from `_HEADER.TXT`.", nullptr},
    {"polarity", guarded<&get_polarity>, nullptr,
     "Electrospray polarity parsed from `_extern.inf`.\n"
     "\n"
     "Returns `\"positive\"`, `\"negative\"`, or `None` when the field is absent.",
     nullptr},
    {"functions", guarded<&get_functions>, nullptr, "List of all acquisition functions in this .raw file.",
     nullptr},
    {"channels", guarded<&get_channels>, nullptr,
     "List of instrument chromatographic channels from `_CHROMS.INF`.\n"
     "\n"
     "Empty list if the file is absent.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"ms_level", as_cfunction(guarded<&ms_level>), kArgs,
     "ms_level($self, func_index)\n"
     "--\n"
     "\n"
     "MS level for a function (1-based `func_index`).\n"
     "\n"
     "Returns `1` for MS1 survey and reference functions, `2` for MSe/DDA/MS2\n"
     "functions. Falls back to `1` when the function is not described in\n"
     "`_extern.inf`."},
    {"n_scans", as_cfunction(guarded<&n_scans>), kArgs,
     "n_scans($self, func_index)\n"
     "--\n"
     "\n"
     "Number of scans in a function (1-based `func_index`)."},
    {"function_encoding", as_cfunction(guarded<&function_encoding>), kArgs,
     "function_encoding($self, func_index)\n"
     "--\n"
     "\n"
     "Encoding variant for a function (1-based `func_index`).\n"
     "\n"
     "Returns `\"a\"`, `\"c\"` or `\"d\"` for one-dimensional spectra, `\"b\"` for IMS."},
    {"retention_time", as_cfunction(guarded<&retention_time>), kArgs,
     "retention_time($self, func_index, scan_index)\n"
     "--\n"
     "\n"
     "Retention time (minutes) for a scan.\n"
     "\n"
     "`func_index` is 1-based; `scan_index` is 0-based."},
    {"read_spectrum", as_cfunction(guarded<&read_spectrum>), kArgs,
     "read_spectrum($self, func_index, scan_index)\n"
     "--\n"
     "\n"
     "Decode a 1-D mass spectrum.\n"
     "\n"
     "Uses Encoding A for older Q-TOF functions and Encoding C for G2/G2-Si.\n"
     "For IMS data, this collapses the drift dimension; use `read_ims_spectrum`\n"
     "to obtain the full 2-D data.\n"
     "\n"
     "`func_index` is 1-based; `scan_index` is 0-based."},
    {"read_ims_spectrum", as_cfunction(guarded<&read_ims_spectrum>), kArgs,
     "read_ims_spectrum($self, func_index, scan_index)\n"
     "--\n"
     "\n"
     "Decode a full IMS spectrum (m/z, drift time, intensity) for SYNAPT data.\n"
     "\n"
     "Only valid for Encoding B functions. Returns a `RuntimeError` for\n"
     "one-dimensional functions.\n"
     "\n"
     "`func_index` is 1-based; `scan_index` is 0-based."},
    {"read_chrom", as_cfunction(guarded<&read_chrom>), kArgs,
     "read_chrom($self, channel_index)\n"
     "--\n"
     "\n"
     "Read a chromatographic channel as a list of `ChromPoint` values.\n"
     "\n"
     "`channel_index` is 0-based (matches `ChromChannel.index`)."},
    KESTRUNE_REFUSE_SUBCLASS_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n"
                                  "--\n"
                                  "\n"
                                  "Open a Waters MassLynx `.raw` directory and read its contents.\n"
                                  "\n"
                                  "Example::\n"
                                  "\n"
                                  "    import kestrune\n"
                                  "    r = kestrune.RawReader(\"/data/sample.raw\")\n"
                                  "    print(r.functions)\n"
                                  "    spec = r.read_spectrum(1, 0)\n"
                                  "    print(spec.mz[:5], spec.intensity[:5])")},
    {Py_tp_new, as_slot(guarded<&raw_reader_new>)},
    {Py_tp_dealloc, as_slot(&raw_reader_dealloc)},
    {Py_tp_repr, as_slot(guarded<&raw_reader_repr>)},
    {Py_tp_getset, g_getset},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                 | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;

PyType_Spec g_spec = {"kestrune.RawReader", sizeof(RawReaderObject), 0, kFlags, g_slots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* raw_reader_type() noexcept {
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
    return g_type;
}

}  // namespace kestrune::binding
