// The module's conversions: export_mzml() writes a run as indexed mzML and
// qc_report() the quality report, through the library's own entry points,
// so that the files are byte for byte those of `kestrune export` and
// `kestrune qc` with the same options.
//
// Python values become the options' C++ types here (TypeError for a wrong
// type); their values are checked by the options' validate() alone, which
// the library calls before anything is opened or written.
#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.h"

namespace kestrune::pydata {

namespace {

namespace fs = std::filesystem;
using Kind = kestrune::Error::Kind;

// ---------------------------------------------------------------------------
// Errors

// Raises the exception of a conversion's error, by the kind of its cause:
// ValueError for an argument (InvalidArgument) or an output (Refused: inside
// a run directory, both outputs on one file) that the library will not take;
// for an operating-system failure the OSError subclass that Python gives its
// errno (FileNotFoundError, PermissionError, NotADirectoryError, ...);
// ReadError for the rest. The message is the library's. Returns null.
PyObject* raise_conversion_error(const kestrune::Error& error) {
    const kestrune::Error* cause = &error;
    while (cause->inner() != nullptr) cause = cause->inner();
    if (cause->kind() != Kind::Refused && !(cause->kind() == Kind::Io && cause->os_errno() != 0))
        return raise_library_error(error);
    PyRef message(new_str(error.to_string()));
    if (!message) return nullptr;
    if (cause->kind() == Kind::Refused) {
        PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    // OSError(errno, text) makes an instance of the errno's subclass.
    PyRef exception(PyObject_CallFunction(PyExc_OSError, "iO", cause->os_errno(), message.get()));
    if (!exception) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    if (type == PyExc_OSError) return raise_library_error(error);  // an errno Python has no name for
    PyErr_SetObject(type, exception.get());
    return nullptr;
}

// Replaces a TypeError being raised with one naming the argument and what it
// takes; other exceptions go on as they are. Returns false.
bool retype_error(const char* name, const char* takes, PyObject* value) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", name, takes, Py_TYPE(value)->tp_name);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Values of arguments and options: converted to the C++ type, or TypeError.
// Their ranges are for the options' validate().

bool path_value(PyObject* value, const char* name, fs::path& out) {
    return path_arg_of(value, out) || retype_error(name, "str, bytes or os.PathLike", value);
}

bool flag_value(PyObject* value, const char* name, bool& out) {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be True or False, not %.200s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    out = value == Py_True;
    return true;
}

bool real_value(PyObject* value, const char* name, double& out) {
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return retype_error(name, "a real number", value);
    out = v;
    return true;
}

// A whole number (int or anything with __index__). One that the field's type
// cannot hold (a negative thread count, say) has no value to hand to
// validate(): ValueError.
template <class T>
bool whole_value(PyObject* value, const char* name, T& out) {
    if (!PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    PyRef index(PyNumber_Index(value));
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || !std::in_range<T>(v)) {
        PyErr_Format(PyExc_ValueError, "%s %R is out of range (%lld to %llu)", name, index.get(),
                     static_cast<long long>(std::numeric_limits<T>::min()),
                     static_cast<unsigned long long>(std::numeric_limits<T>::max()));
        return false;
    }
    out = static_cast<T>(v);
    return true;
}

// None (no value) or what `convert` takes.
template <class T>
bool optional_value(PyObject* value, const char* name, std::optional<T>& out,
                    bool (*convert)(PyObject*, const char*, T&)) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    T v{};
    if (!convert(value, name, v)) return false;
    out = std::move(v);
    return true;
}

// One of the names of a choice, ASCII case ignored as on the command line.
template <class E>
struct Choice {
    const char* name;
    E value;
};

constexpr Choice<kestrune::Numpress> kNumpressChoices[] = {{"none", kestrune::Numpress::None},
                                                           {"linear", kestrune::Numpress::Linear},
                                                           {"pic", kestrune::Numpress::Pic},
                                                           {"slof", kestrune::Numpress::Slof}};
constexpr Choice<kestrune::RepresentationChoice> kRepresentationChoices[] = {
    {"auto", kestrune::RepresentationChoice::Auto},
    {"centroid", kestrune::RepresentationChoice::Centroid},
    {"profile", kestrune::RepresentationChoice::Profile}};
constexpr Choice<kestrune::ImsLayout> kImsLayoutChoices[] = {{"combined", kestrune::ImsLayout::Combined},
                                                             {"per-bin", kestrune::ImsLayout::PerBin},
                                                             {"summed", kestrune::ImsLayout::Summed}};

template <class E, std::size_t N>
bool choice_value(PyObject* value, const char* name, const Choice<E> (&choices)[N], E& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return false;
    std::string given(utf8, static_cast<std::size_t>(size));
    std::transform(given.begin(), given.end(), given.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    std::string names;
    for (const Choice<E>& choice : choices) {
        if (given == choice.name) {
            out = choice.value;
            return true;
        }
        names += (names.empty() ? "'" : ", '") + std::string(choice.name) + "'";
    }
    PyErr_Format(PyExc_ValueError, "%s %R is not one of %s", name, value, names.c_str());
    return false;
}

// An iterable of function numbers; duplicates are dropped and the first of
// each kept, as the command line's --functions does (the list is recorded in
// the file, so both front-ends must hand the library the same one).
bool functions_value(PyObject* value, const char* name, std::vector<std::uint32_t>& out) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an iterable of function numbers, not %.200s", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    PyRef iterator(PyObject_GetIter(value));
    if (!iterator) return retype_error(name, "an iterable of function numbers", value);
    while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
        std::uint32_t number = 0;
        if (!whole_value(item.get(), "function number", number)) return false;
        if (std::find(out.begin(), out.end(), number) == out.end()) out.push_back(number);
    }
    return PyErr_Occurred() == nullptr;
}

// (low, high) in minutes, either one None for an open end.
bool rt_range_value(PyObject* value, const char* name, kestrune::RtRange& out) {
    constexpr const char* takes = "a pair (low, high) of minutes or None";
    if (PyUnicode_Check(value) || PyBytes_Check(value) || !PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", name, takes, Py_TYPE(value)->tp_name);
        return false;
    }
    PyRef items(PySequence_Tuple(value));
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "%s must hold two values (low, high), not %zd", name,
                     PyTuple_GET_SIZE(items.get()));
        return false;
    }
    return optional_value(PyTuple_GET_ITEM(items.get(), 0), "rt_range's low end", out.min, real_value) &&
           optional_value(PyTuple_GET_ITEM(items.get(), 1), "rt_range's high end", out.max, real_value);
}

// ---------------------------------------------------------------------------
// The export's keyword options: one entry per field of ExportOptions.

using ExportOptions = kestrune::ExportOptions;

struct ExportField {
    const char* name;
    bool (*set)(PyObject* value, const char* name, ExportOptions& options);
};

constexpr ExportField kExportFields[] = {
    {"compress", [](PyObject* v, const char* n, ExportOptions& o) { return flag_value(v, n, o.compress); }},
    {"compression_level",
     [](PyObject* v, const char* n, ExportOptions& o) { return whole_value(v, n, o.compression_level); }},
    {"numpress",
     [](PyObject* v, const char* n, ExportOptions& o) {
         o.numpress = kestrune::Numpress::None;
         return v == Py_None || choice_value(v, n, kNumpressChoices, o.numpress);
     }},
    {"numpress_ppm", [](PyObject* v, const char* n, ExportOptions& o) { return real_value(v, n, o.numpress_ppm); }},
    {"threads", [](PyObject* v, const char* n, ExportOptions& o) { return whole_value(v, n, o.threads); }},
    {"functions",
     [](PyObject* v, const char* n, ExportOptions& o) { return optional_value(v, n, o.functions, functions_value); }},
    {"rt_range",
     [](PyObject* v, const char* n, ExportOptions& o) { return optional_value(v, n, o.rt_range, rt_range_value); }},
    {"ms_level",
     [](PyObject* v, const char* n, ExportOptions& o) {
         return optional_value(v, n, o.ms_level, whole_value<unsigned>);
     }},
    {"keep_lockmass", [](PyObject* v, const char* n, ExportOptions& o) { return flag_value(v, n, o.keep_lockmass); }},
    {"lockmass", [](PyObject* v, const char* n, ExportOptions& o) { return optional_value(v, n, o.lockmass, real_value); }},
    {"lockmass_tolerance",
     [](PyObject* v, const char* n, ExportOptions& o) { return real_value(v, n, o.lockmass_tolerance); }},
    {"lockmass_optional",
     [](PyObject* v, const char* n, ExportOptions& o) { return flag_value(v, n, o.lockmass_optional); }},
    {"representation",
     [](PyObject* v, const char* n, ExportOptions& o) {
         return choice_value(v, n, kRepresentationChoices, o.representation);
     }},
    {"ims_layout",
     [](PyObject* v, const char* n, ExportOptions& o) { return choice_value(v, n, kImsLayoutChoices, o.ims_layout); }},
    {"centroid", [](PyObject* v, const char* n, ExportOptions& o) { return flag_value(v, n, o.centroid); }},
    {"allow_incomplete",
     [](PyObject* v, const char* n, ExportOptions& o) { return flag_value(v, n, o.allow_incomplete); }},
};

// ---------------------------------------------------------------------------
// ExportSummary

PyStructSequence_Field g_summary_fields[] = {
    {"spectra", "Spectra written."},
    {"chromatograms", "Chromatograms written."},
    {"bytes", "Bytes of the file."},
    {"lock_scans", "Lock-mass scans measured (with a lock mass)."},
    {"lock_scans_matched", "Those holding the reference peak."},
    {"factor_min", "Smallest lock-mass factor applied, or None."},
    {"factor_max", "Largest lock-mass factor applied, or None."},
    {nullptr, nullptr},
};
PyStructSequence_Desc g_summary_desc = {"kestrune_data.ExportSummary", "What export_mzml() wrote.",
                                        g_summary_fields, 7};
PyTypeObject* g_summary_type = nullptr;

PyObject* optional_float(const std::optional<double>& value) {
    if (!value) return new_ref(Py_None);
    return PyFloat_FromDouble(*value);
}

PyObject* new_summary(const kestrune::ExportSummary& s) {
    PyObject* items[] = {PyLong_FromSize_t(s.spectra),         PyLong_FromSize_t(s.chromatograms),
                         PyLong_FromUnsignedLongLong(s.bytes), PyLong_FromSize_t(s.lock_scans),
                         PyLong_FromSize_t(s.lock_scans_matched), optional_float(s.factor_min),
                         optional_float(s.factor_max)};
    PyRef summary(PyStructSequence_New(g_summary_type));
    bool ok = static_cast<bool>(summary);
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(items)); ++i) {
        if (ok && items[i] != nullptr)
            PyStructSequence_SetItem(summary.get(), i, items[i]);  // steals the reference
        else
            Py_XDECREF(items[i]);
        ok = ok && items[i] != nullptr;
    }
    return ok ? summary.release() : nullptr;
}

// ---------------------------------------------------------------------------
// Runs

bool is_run(PyObject* value) noexcept { return PyObject_TypeCheck(value, run_type()) != 0; }

// The path of a run given as a Run (its path, for the library to open again)
// or as a path.
bool run_path_value(PyObject* value, fs::path& out) {
    if (!is_run(value))
        return path_arg_of(value, out) || retype_error("a run", "a Run, str, bytes or os.PathLike", value);
    const auto run = opened_run(value);
    if (!run) return false;
    out = run->path();
    return true;
}

// One run, or an iterable of runs: their paths in the order given.
bool run_paths_value(PyObject* value, std::vector<fs::path>& out) {
    const bool one = is_run(value) || PyUnicode_Check(value) || PyBytes_Check(value) ||
                     PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__fspath__");
    if (one) {
        out.emplace_back();
        return run_path_value(value, out.back());
    }
    PyRef iterator(PyObject_GetIter(value));
    if (!iterator) return retype_error("runs", "a run or an iterable of runs", value);
    while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
        out.emplace_back();
        if (!run_path_value(item.get(), out.back())) return false;
    }
    return PyErr_Occurred() == nullptr;
}

// ---------------------------------------------------------------------------
// The functions

// Takes keyword `name` of export_mzml(): an argument not given by position,
// or an option. False with TypeError (or the option's error) set.
bool take_export_keyword(PyObject* key, PyObject* value, PyObject*& source, PyObject*& output,
                         ExportOptions& options) {
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (name == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    for (auto [argument, slot] : {std::pair{"run_or_path", &source}, std::pair{"output", &output}}) {
        if (std::string_view(name) != argument) continue;
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "export_mzml() got multiple values for argument '%s'", name);
            return false;
        }
        *slot = value;
        return true;
    }
    for (const ExportField& field : kExportFields)
        if (std::string_view(name) == field.name) return field.set(value, field.name, options);
    PyErr_Format(PyExc_TypeError, "export_mzml() got an unexpected keyword argument '%s'", name);
    return false;
}

}  // namespace

PyObject* export_mzml_function(PyObject*, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > 2) {
        PyErr_Format(PyExc_TypeError, "export_mzml() takes 2 positional arguments but %zd were given", positional);
        return nullptr;
    }
    PyObject* source = positional > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    PyObject* output = positional > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr;
    ExportOptions options;
    if (kwargs != nullptr) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value))
            if (!take_export_keyword(key, value, source, output, options)) return nullptr;
    }
    if (source == nullptr || output == nullptr) {
        PyErr_Format(PyExc_TypeError, "export_mzml() missing required argument '%s'",
                     source == nullptr ? "run_or_path" : "output");
        return nullptr;
    }
    fs::path out;
    if (!path_value(output, "output", out)) return nullptr;
    std::shared_ptr<const kestrune::Run> run;
    fs::path run_dir;
    if (is_run(source)) {
        run = opened_run(source);
        if (!run) return nullptr;
    } else if (!path_arg_of(source, run_dir)) {
        retype_error("run_or_path", "a Run, str, bytes or os.PathLike", source);
        return nullptr;
    }
    std::optional<kestrune::Result<kestrune::ExportSummary>> done;
    {
        GilReleased unlocked;
        // The path form checks the output before it opens the run.
        done.emplace(run ? kestrune::export_mzml(*run, out, options) : kestrune::export_mzml(run_dir, out, options));
    }
    if (!*done) return raise_conversion_error(done->error());
    return new_summary(**done);
}

PyObject* qc_report_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"runs", "html", "mzqc", "lockmass", "lockmass_tolerance", "allow_incomplete", nullptr};
    PyObject *runs_arg = nullptr, *html_arg = nullptr, *mzqc_arg = Py_None, *lockmass_arg = Py_None;
    PyObject *tolerance_arg = nullptr, *incomplete_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOO:qc_report", const_cast<char**>(kw), &runs_arg,
                                     &html_arg, &mzqc_arg, &lockmass_arg, &tolerance_arg, &incomplete_arg))
        return nullptr;
    std::vector<fs::path> runs;
    fs::path html;
    std::optional<fs::path> mzqc;
    kestrune::QcOptions options;
    if (!run_paths_value(runs_arg, runs) || !path_value(html_arg, "html", html) ||
        !optional_value(mzqc_arg, "mzqc", mzqc, path_value) ||
        !optional_value(lockmass_arg, "lockmass", options.lockmass, real_value) ||
        (tolerance_arg != nullptr && !real_value(tolerance_arg, "lockmass_tolerance", options.lockmass_tolerance)) ||
        (incomplete_arg != nullptr && !flag_value(incomplete_arg, "allow_incomplete", options.allow_incomplete)))
        return nullptr;
    std::optional<kestrune::Result<void>> done;
    {
        GilReleased unlocked;
        done.emplace(kestrune::qc_report(runs, html, mzqc, options));
    }
    if (!*done) return raise_conversion_error(done->error());
    Py_RETURN_NONE;
}

PyTypeObject* export_summary_type() noexcept { return g_summary_type; }

bool create_convert_types() noexcept {
    if (g_summary_type == nullptr) g_summary_type = PyStructSequence_NewType(&g_summary_desc);
    return g_summary_type != nullptr;
}

const char kExportMzmlDoc[] =
    "export_mzml(run_or_path, output, **options)\n--\n\n"
    "Writes a run as an indexed mzML 1.1.0 file, the bytes that\n"
    "``kestrune export RUN -o OUTPUT`` writes with the same options, and\n"
    "returns an ExportSummary. The interpreter lock is released meanwhile.\n"
    "\n"
    "run_or_path: an open Run, or a run directory's path (str, bytes or\n"
    "os.PathLike; the output is then checked before the run is opened).\n"
    "output: the file's path (str, bytes or os.PathLike). The file is written\n"
    "unnamed and appears only when complete; file objects and descriptors\n"
    "are not taken.\n"
    "\n"
    "Options, keywords only (defaults as on the command line):\n"
    "  compress=True            deflate the binary arrays\n"
    "  compression_level=1      0 (stored), 1 (fastest) to 12 (smallest)\n"
    "  numpress=None            'linear', 'pic' or 'slof': MS-Numpress (lossy)\n"
    "  numpress_ppm=0.1         largest numpress m/z error, ppm of the value\n"
    "  threads=0                worker threads, 0 for the CPUs this process may\n"
    "                           use (the file is the same whatever the number)\n"
    "  functions=None           only these function numbers (duplicates dropped)\n"
    "  rt_range=None            only scans within (low, high) minutes, None for\n"
    "                           an open end\n"
    "  ms_level=None            only functions of this MS level\n"
    "  keep_lockmass=False      also write the lock-mass functions\n"
    "  lockmass=None            reference m/z: correct every scan's m/z by the\n"
    "                           lock-mass factor\n"
    "  lockmass_tolerance=0.25  window around the reference m/z, Da\n"
    "  lockmass_optional=False  export uncorrected when the correction cannot\n"
    "                           be made (else an error)\n"
    "  representation='auto'    'auto', 'centroid' or 'profile'\n"
    "  ims_layout='combined'    'combined', 'per-bin' or 'summed'\n"
    "  centroid=False           write profile spectra as centroids\n"
    "  allow_incomplete=False   export what is there of functions whose files\n"
    "                           are cut short or missing (else an error)\n"
    "\n"
    "TypeError for an unknown keyword or a value of the wrong type. ValueError\n"
    "for a value the library's option check refuses (with its message), a\n"
    "whole number its option cannot hold, a selection that matches nothing,\n"
    "and an output the library refuses to write (inside the run directory).\n"
    "A system failure raises the OSError subclass of its errno\n"
    "(FileNotFoundError for a missing run or output directory, ...), when\n"
    "Python has one; anything else ReadError.";

const char kQcReportDoc[] =
    "qc_report(runs, html, *, mzqc=None, lockmass=None, lockmass_tolerance=0.25,\n"
    "          allow_incomplete=False)\n--\n\n"
    "Writes the HTML quality report of the runs and, with ``mzqc``, their\n"
    "metrics as an mzQC file: what ``kestrune qc RUN... -o HTML --mzqc MZQC``\n"
    "writes. Both outputs are checked before any run is read, and each file\n"
    "appears only when complete. The interpreter lock is released meanwhile.\n"
    "\n"
    "runs: a run or an iterable of runs, in the order to compare them, each\n"
    "a path (str, bytes or os.PathLike) or a Run (read again from its path).\n"
    "lockmass: the reference m/z of the lock-mass compound (default: the most\n"
    "intense peak of the lock-mass scans); lockmass_tolerance: the window\n"
    "around it, Da; allow_incomplete: measure what is there of functions\n"
    "whose files are cut short or missing (else an error).\n"
    "\n"
    "Exceptions as for export_mzml(): ValueError also for two outputs on one\n"
    "file or an output inside a run directory.";

}  // namespace kestrune::pydata
