// The kestrune_data module object: its functions, the registration of its
// types, the ReadError exception and the conversion of errors.
//
// The module-level functions live in g_functions below: open() here, the
// conversions (export to mzML, quality report) in convert.cpp.
#include <cstdlib>
#include <cstring>
#include <string>

#include "common.h"

namespace kestrune::pydata {

namespace {

PyObject* g_read_error = nullptr;  // created once, kept for the process

PyObject* open_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"path", nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:open", const_cast<char**>(kw), &path)) return nullptr;
    return open_path(path);
}

PyMethodDef g_functions[] = {
    {"open", as_cfunction(guarded<&open_function>), METH_VARARGS | METH_KEYWORDS,
     "open(path)\n--\n\n"
     "Opens a run directory (str, bytes or os.PathLike): a Run.\n"
     "\n"
     "FileNotFoundError when the path does not exist, NotADirectoryError when\n"
     "it is not a directory (other OSErrors as the system reports them), and\n"
     "ReadError when the directory cannot be read as a run. The interpreter\n"
     "lock is released while the run is opened."},
    {"export_mzml", as_cfunction(guarded<&export_mzml_function>), METH_VARARGS | METH_KEYWORDS, kExportMzmlDoc},
    {"qc_report", as_cfunction(guarded<&qc_report_function>), METH_VARARGS | METH_KEYWORDS, kQcReportDoc},
    {nullptr, nullptr, 0, nullptr},
};

struct Entry {
    const char* name;
    PyObject* (*object)() noexcept;
};

PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

constexpr Entry kEntries[] = {
    {"Run", [] noexcept { return as_object(run_type()); }},
    {"Scan", [] noexcept { return as_object(scan_type()); }},
    {"ScanIterator", [] noexcept { return as_object(scan_iterator_type()); }},
    {"Array", [] noexcept { return as_object(array_type()); }},
    {"RunHeader", [] noexcept { return as_object(run_header_type()); }},
    {"Function", [] noexcept { return as_object(function_type()); }},
    {"Channel", [] noexcept { return as_object(channel_type()); }},
    {"ExportSummary", [] noexcept { return as_object(export_summary_type()); }},
    {"ReadError", [] noexcept { return g_read_error; }},
};

// glibc serves large blocks by mmap until a freed one raises its threshold,
// and returns the top of its heap to the system whenever more than its trim
// threshold lies free there. A loop over scans allocates and frees arrays
// of a few hundred kilobytes each time; freeing one mmap-served block of 4
// MiB first raises both thresholds, so those arrays come from the heap and
// its pages stay (the block's pages are never touched).
void raise_heap_thresholds() noexcept {
#ifdef __GLIBC__
    void* volatile block = std::malloc(std::size_t{4} << 20);
    std::free(block);
#endif
}

int exec_module(PyObject* module) {
    raise_heap_thresholds();
    if (g_read_error == nullptr) {
        g_read_error = PyErr_NewExceptionWithDoc(
            "kestrune_data.ReadError",
            "A run, or a part of it, that cannot be read; the message is the library's.", PyExc_RuntimeError,
            nullptr);
        if (g_read_error == nullptr) return -1;
    }
    if (!create_array_type() || !create_scan_type() || !create_scan_iterator_type() || !create_run_types() ||
        !create_convert_types())
        return -1;
    PyRef all(PyList_New(0));
    if (!all) return -1;
    for (const Entry& entry : kEntries) {
        PyObject* object = entry.object();  // borrowed, kept for the process
        if (PyObject_SetAttrString(module, entry.name, object) < 0) return -1;
        PyRef name(PyUnicode_FromString(entry.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }
    for (const PyMethodDef* function = g_functions; function->ml_name != nullptr; ++function) {
        PyRef name(PyUnicode_FromString(function->ml_name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    PyRef version(PyUnicode_FromString(kestrune::version()));
    if (!version || PyObject_SetAttrString(module, "__version__", version.get()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, as_slot(guarded<&exec_module>)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "kestrune_data",  // m_name
    "Reading Waters MassLynx .raw runs as arrays: zero-copy scans, iteration and\n"
    "chromatograms computed in C++ with the interpreter lock released; the\n"
    "export to mzML and the quality report as the command line writes them.\n"
    "\n"
    "    import numpy, kestrune_data\n"
    "    with kestrune_data.open('sample.raw') as run:\n"
    "        for scan in run.scans(1):\n"
    "            mz = numpy.asarray(scan.mz)  # no copy\n"
    "        rt, intensity = run.xic(1, 556.2771, ppm=10)\n"
    "    kestrune_data.export_mzml('sample.raw', 'sample.mzML', numpress='linear')\n",  // m_doc
    0,            // m_size
    g_functions,  // m_methods
    g_slots,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers

PyObject* read_error_type() noexcept { return g_read_error; }

PyObject* new_str(std::string_view utf8) noexcept {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

bool path_arg_of(PyObject* arg, std::filesystem::path& out, PyRef* text) {
    // os.fspath() first: PyPy's PyUnicode_FSConverter takes str and bytes only.
    PyRef fspath(PyOS_FSPath(arg));
    if (!fspath) return false;
    PyObject* encoded_raw = nullptr;
    if (!PyUnicode_FSConverter(fspath.get(), &encoded_raw)) return false;
    PyRef encoded(encoded_raw);
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) return false;
    if (text != nullptr) {
        *text = PyRef(PyUnicode_DecodeFSDefaultAndSize(bytes, size));
        if (!*text) return false;
    }
    out = std::filesystem::path(std::string(bytes, static_cast<std::size_t>(size)));
    return true;
}

PyObject* raise_read_error(std::string_view message) noexcept {
    PyRef text(new_str(message));
    if (text) PyErr_SetObject(g_read_error, text.get());
    return nullptr;
}

PyObject* raise_library_error(const kestrune::Error& error) noexcept {
    std::string text;
    try {
        text = error.to_string();
    } catch (const std::exception& e) {
        raise_from_cpp(&e);
        return nullptr;
    }
    if (error.cause() == kestrune::Error::Kind::InvalidArgument) {
        PyRef message(new_str(text));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    return raise_read_error(std::string_view(text));
}

PyObject* raise_closed() noexcept {
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed run");
    return nullptr;
}

void raise_from_cpp(const std::exception* e) noexcept {
    if (dynamic_cast<const std::bad_alloc*>(e) != nullptr) {
        PyErr_NoMemory();
        return;
    }
    const char* what = e != nullptr ? e->what() : "unknown C++ exception";
    PyErr_Format(PyExc_SystemError, "kestrune_data internal error: %s", what);
}

}  // namespace kestrune::pydata

PyMODINIT_FUNC PyInit_kestrune_data(void) { return PyModuleDef_Init(&kestrune::pydata::g_module); }
