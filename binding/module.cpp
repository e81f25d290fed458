// The kestrune module object: class registration, the bridge that forwards
// library log records to Python's logging package, and error conversion.
#include "common.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "log.h"
#include "reader/lookup.h"

namespace kestrune::binding {

namespace {

PyObject* g_internal_fault = nullptr;  // created once, never released

// The message of the pending exception as text ("" when it has none or it
// cannot be rendered). Clears the exception.
std::string take_exception_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef t(type), v(value), tb(traceback);
    std::string out;
    if (v) {
        PyRef s(PyObject_Str(v.get()));
        if (s) {
            Py_ssize_t n = 0;
            if (const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n)) out.assign(p, static_cast<std::size_t>(n));
        }
    }
    PyErr_Clear();
    return out;
}

// ---------------------------------------------------------------------------
// Logging bridge

constexpr int kNothingEnabled = 1000;  // above every Python level
constexpr long kProbeLevels[] = {5, 10, 20, 30, 40};

int python_level(log::Level level) noexcept {
    switch (level) {
        case log::Level::Error: return 40;
        case log::Level::Warn: return 30;
        case log::Level::Info: return 20;
        case log::Level::Debug: return 10;
        case log::Level::Trace: return 5;
        case log::Level::Off: break;
    }
    return 0;
}

// "kestrune::raw::index" -> "kestrune.raw.index"
std::string logger_name(std::string_view target) {
    std::string out;
    out.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == ':' && i + 1 < target.size() && target[i + 1] == ':') {
            out += '.';
            ++i;
        } else {
            out += target[i];
        }
    }
    return out;
}

class LoggingBridge final : public log::Sink {
public:
    // Takes over new references to the logging module and the method names.
    LoggingBridge(PyRef logging, PyRef get_logger, PyRef is_enabled_for, PyRef make_record, PyRef handle)
        : logging_(std::move(logging)),
          get_logger_(std::move(get_logger)),
          is_enabled_for_(std::move(is_enabled_for)),
          make_record_(std::move(make_record)),
          handle_(std::move(handle)) {}

    void write(const log::Record& record) noexcept override {
        if (record.level == log::Level::Trace || record.level == log::Level::Off) return;
        if (!Py_IsInitialized()) return;
        const PyGILState_STATE gil = PyGILState_Ensure();
        // A record may be emitted while the caller has an exception pending;
        // it is put back untouched, and errors of the bridge never escape.
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            forward(record);
        } catch (...) {
            // The record is lost (out of memory).
        }
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        PyGILState_Release(gil);
    }

private:
    struct Target {
        PyObject* logger;  // strong references, kept for the process
        PyObject* name;
        int min_level;  // most verbose enabled Python level, kNothingEnabled for none
    };

    // The cache entry of a target, filled on its first record. Python is never
    // called with the mutex held: a Python call may switch threads, and the
    // other thread could then wait for the mutex while holding the GIL.
    std::optional<Target> target(std::string_view key) {
        {
            std::lock_guard lock(mutex_);
            if (auto it = cache_.find(key); it != cache_.end()) return it->second;
        }
        const std::string name_text = logger_name(key);
        PyRef name(new_str(name_text));
        if (!name) return std::nullopt;
        PyRef logger(PyObject_CallMethodObjArgs(logging_.get(), get_logger_.get(), name.get(), nullptr));
        if (!logger) return std::nullopt;
        int min_level = kNothingEnabled;
        for (long level : kProbeLevels) {
            PyRef number(PyLong_FromLong(level));
            if (!number) return std::nullopt;
            PyRef answer(PyObject_CallMethodObjArgs(logger.get(), is_enabled_for_.get(), number.get(), nullptr));
            if (!answer) return std::nullopt;
            const int truth = PyObject_IsTrue(answer.get());
            if (truth < 0) return std::nullopt;
            if (truth == 1) {
                min_level = static_cast<int>(level);
                break;
            }
        }
        Target fresh{logger.get(), name.get(), min_level};
        Target stored;
        {
            std::lock_guard lock(mutex_);
            auto [it, inserted] = cache_.try_emplace(std::string(key), fresh);
            if (inserted) {
                logger.release();
                name.release();
            }
            stored = it->second;
        }
        return stored;
    }

    void forward(const log::Record& record) {
        const std::optional<Target> t = target(record.target);
        if (!t) return;
        const int level = python_level(record.level);
        if (level < t->min_level) return;
        PyRef level_obj(PyLong_FromLong(level));
        PyRef pathname = record.file.empty() ? PyRef::borrow(Py_None) : PyRef(new_str(record.file));
        PyRef lineno(PyLong_FromUnsignedLong(record.line));
        PyRef message(new_str(record.message));
        PyRef args(PyTuple_New(0));
        if (!level_obj || !pathname || !lineno || !message || !args) return;
        PyRef log_record(PyObject_CallMethodObjArgs(t->logger, make_record_.get(), t->name, level_obj.get(),
                                                    pathname.get(), lineno.get(), message.get(), args.get(),
                                                    Py_None, Py_None, Py_None, nullptr));
        if (!log_record) return;
        PyRef handled(PyObject_CallMethodObjArgs(t->logger, handle_.get(), log_record.get(), nullptr));
    }

    PyRef logging_;
    PyRef get_logger_;
    PyRef is_enabled_for_;
    PyRef make_record_;
    PyRef handle_;
    std::mutex mutex_;
    std::map<std::string, Target, std::less<>> cache_;
};

// Imports logging and registers the bridge as the process's log sink.
bool install_logging_bridge() {
    PyRef logging(PyImport_ImportModule("logging"));
    PyRef get_logger(PyUnicode_InternFromString("getLogger"));
    PyRef is_enabled_for(PyUnicode_InternFromString("isEnabledFor"));
    PyRef make_record(PyUnicode_InternFromString("makeRecord"));
    PyRef handle(PyUnicode_InternFromString("handle"));
    if (!logging || !get_logger || !is_enabled_for || !make_record || !handle) {
        const std::string reason = take_exception_text();
        const std::string message = reason.empty() ? std::string("Failed to initialize python logging")
                                                   : "Failed to initialize python logging: " + reason;
        raise_internal_fault(message.c_str());
        return false;
    }
    auto* bridge = new LoggingBridge(std::move(logging), std::move(get_logger), std::move(is_enabled_for),
                                     std::move(make_record), std::move(handle));
    if (!log::set_sink(bridge)) {
        delete bridge;
        raise_internal_fault(
            "the logging bridge is already installed in this process: kestrune cannot be initialized twice");
        return false;
    }
    // The bridge lives until the process ends.
    log::set_max_level(log::Level::Debug);
    return true;
}

// ---------------------------------------------------------------------------
// Module

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)() noexcept;
};

constexpr ClassEntry kClasses[] = {
    {"RawReader", &raw_reader_type},       {"RunHeader", &run_header_type},
    {"FunctionInfo", &function_info_type}, {"Spectrum", &spectrum_type},
    {"ImsSpectrum", &ims_spectrum_type},   {"ChromChannel", &chrom_channel_type},
    {"ChromPoint", &chrom_point_type},
};

bool register_class(PyObject* module, const ClassEntry& entry) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) return false;
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) return false;
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    PyRef created;
    if (all == nullptr) {
        created = PyRef(PyList_New(0));
        if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return false;
        all = created.get();
    }
    if (!PyList_Check(all)) {
        PyErr_SetString(PyExc_TypeError, "__all__ of module kestrune is not a list");
        return false;
    }
    PyRef name(PyUnicode_FromString(entry.name));
    if (!name || PyList_Append(all, name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

// glibc returns the top of its heap to the system whenever more than its trim
// threshold lies free there; the threshold starts low and only rises to twice
// the largest mmap-served block freed so far. Every spectrum read allocates
// and frees a few hundred kilobytes (file buffer, decoded arrays, the lists
// built from them), so in a fresh process the heap shrinks after each read
// and the next read faults the pages in again. Freeing one mmap-served block
// raises the threshold the way any larger temporary allocation would; its
// pages are never touched.
void raise_heap_trim_threshold() noexcept {
#ifdef __GLIBC__
    void* volatile block = std::malloc(std::size_t{4} << 20);
    std::free(block);
#endif
}

int exec_module(PyObject* module) {
    if (!ensure_internal_fault_type()) return -1;
    if (!install_logging_bridge()) return -1;
    raise_heap_trim_threshold();
    for (const ClassEntry& entry : kClasses)
        if (!register_class(module, entry)) return -1;
    return 0;
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, as_slot(guarded<&exec_module>)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "kestrune",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods
    g_module_slots,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers

PyObject* internal_fault_type() noexcept { return g_internal_fault; }

bool ensure_internal_fault_type() noexcept {
    if (g_internal_fault != nullptr) return true;
    g_internal_fault = PyErr_NewException("kestrune.InternalFault", PyExc_BaseException, nullptr);
    return g_internal_fault != nullptr;
}

void raise_internal_fault(const char* what) noexcept {
    PyObject* type = g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError;
    PyRef message(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::char_traits<char>::length(what)),
                                       "replace"));
    if (!message) {
        PyErr_SetString(type, "internal fault");
        return;
    }
    PyErr_SetObject(type, message.get());
}

void raise_from_cpp(const std::exception* e) noexcept {
    raise_internal_fault(e != nullptr ? e->what() : "unknown C++ exception");
}

PyObject* new_str(std::string_view utf8) noexcept {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

PyObject* raise_runtime(std::string_view message) noexcept {
    PyRef text(new_str(message));
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
    return nullptr;
}

PyObject* to_py_err(Error error) noexcept {
    try {
        const std::string text = error.to_string();
        return raise_runtime(text);
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    }
    return nullptr;
}

Result<std::optional<std::filesystem::path>> find_side_file(const std::filesystem::path& dir,
                                                            std::string_view name) {
    return reader::find_file(dir, name, reader::LookupMode::Silent);
}

}  // namespace kestrune::binding

PyMODINIT_FUNC PyInit_kestrune(void) { return PyModuleDef_Init(&kestrune::binding::g_module); }
