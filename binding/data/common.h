// Shared pieces of the kestrune_data module: the opened run that calls and
// iterators share, the scan selection, the guard that keeps C++ exceptions
// out of the interpreter, the lock release around library calls, error
// conversion, and the constructors of the module's objects.
//
// Like every front-end, this module uses the library through its public
// headers alone.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include <kestrune/kestrune.h>

#include "../pyref.h"
#include "../type_support.h"

namespace kestrune::pydata {

using binding::PyRef;

// ---------------------------------------------------------------------------
// Scan selection and chromatograms

// Which scans of a function a call or an iterator reads: the cursor's range
// and, with a retention-time range, the test each decoded scan must pass
// (bounds included, compared in double).
struct Selection {
    std::uint32_t function = 0;
    std::uint64_t first = 0;  // first scan of the cursor's range
    std::uint64_t end = 0;    // one past its last scan
    bool by_rt = false;
    double rt_low = 0.0;
    double rt_high = 0.0;

    bool selects(float rt_min) const noexcept {
        const double rt = static_cast<double>(rt_min);
        return !by_rt || (rt >= rt_low && rt <= rt_high);
    }
};

// A chromatogram: one retention time and one value per selected scan.
struct Trace {
    std::vector<double> rt_min;
    std::vector<double> value;
};

// The passes of chromatogram.cpp, run without the interpreter lock: each
// reads the selected scans through one cursor.
kestrune::Result<Trace> total_ion_current(const kestrune::Run& run, const Selection& selection);
// Sums, per scan, the intensities whose m/z lies within [mz_low, mz_high].
kestrune::Result<Trace> extracted_ion_current(const kestrune::Run& run, const Selection& selection, double mz_low,
                                              double mz_high);

// ---------------------------------------------------------------------------
// The interpreter lock

// Lets go of the interpreter lock for its lifetime (and takes it back when
// a C++ exception passes through).
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// ---------------------------------------------------------------------------
// Errors

// kestrune_data.ReadError (a RuntimeError), created once per process.
PyObject* read_error_type() noexcept;
// Raises the exception for a library error, chosen by its kind (never its
// text): ValueError for an argument the library refused (InvalidArgument),
// ReadError for anything else; the message is the library's. Returns null.
PyObject* raise_library_error(const kestrune::Error& error) noexcept;
// Raises ReadError with `message`; returns null.
PyObject* raise_read_error(std::string_view message) noexcept;
// Raises ValueError for a closed run; returns null.
PyObject* raise_closed() noexcept;
// Turns a C++ exception that reached an entry point into a Python one:
// MemoryError for failed allocations, SystemError for anything else.
void raise_from_cpp(const std::exception* e) noexcept;

// A new reference to `object` (Py_NewRef, which PyPy 7.3 lacks).
inline PyObject* new_ref(PyObject* object) noexcept {
    Py_INCREF(object);
    return object;
}

// A new str from UTF-8 text (invalid bytes replaced).
PyObject* new_str(std::string_view utf8) noexcept;

// Wraps a function called by the interpreter so that no C++ exception
// leaves it.
template <auto F>
inline constexpr auto guarded = &binding::GuardedBy<F, &raise_from_cpp>::call;

using binding::as_cfunction;
using binding::as_slot;
using binding::free_object;

// ---------------------------------------------------------------------------
// Types

// The module's types, created once per process by create_types() (called
// from the module's exec slot); null before.
PyTypeObject* array_type() noexcept;
PyTypeObject* scan_type() noexcept;
PyTypeObject* scan_iterator_type() noexcept;
PyTypeObject* run_type() noexcept;
PyTypeObject* run_header_type() noexcept;
PyTypeObject* function_type() noexcept;
PyTypeObject* channel_type() noexcept;

// Each creates its file's types; false with an exception set on failure.
bool create_array_type() noexcept;
bool create_scan_type() noexcept;
bool create_scan_iterator_type() noexcept;
bool create_run_types() noexcept;

// Flags of the module's types: immutable, not subclassable, and (but Run)
// made only by the module. PyPy 7.3 knows neither flag; there the refusals
// of type_support.h stand in.
constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                     | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kValueTypeFlags = kTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#define KESTRUNE_DATA_REFUSE_NEW_SLOT
#else
constexpr unsigned long kValueTypeFlags = kTypeFlags;
#define KESTRUNE_DATA_REFUSE_NEW_SLOT \
    {Py_tp_new, ::kestrune::binding::as_slot(&::kestrune::binding::refuse_instantiation)},
#endif

// ---------------------------------------------------------------------------
// Objects

// Tells the garbage collector about memory an object holds outside the
// interpreter's heap. PyPy frees objects made by extension modules at its
// major collections, which it starts by the growth of its own heap: without
// this, a loop over scans would hold the arrays of thousands of them. A
// quarter of the bytes is noted: a loop over scans of 11,000 points then
// peaks at about 130 MB and spends a quarter of its time in the collector
// (noting every byte: 90 MB, and three fifths of the time). A no-op on
// CPython, whose reference counts free objects at once.
inline void note_held_memory(const void* storage, std::size_t bytes) noexcept {
#ifdef PYPY_VERSION
    PyTraceMalloc_Track(0, reinterpret_cast<std::uintptr_t>(storage), bytes / 4);
#else
    (void)storage;
    (void)bytes;
#endif
}

// A new read-only Array owning `values` (null with an exception set).
// `noted`: the values' memory was already noted (by the Scan they come from).
PyObject* new_array(std::vector<double>&& values, bool noted = false);
PyObject* new_array(std::vector<float>&& values, bool noted = false);
// A new Scan owning the decoded scan's arrays.
PyObject* new_scan(kestrune::Scan&& scan);
// A new iterator over the selected scans of `run_object` (a Run), reading
// through `cursor`, which `run` outlives.
PyObject* new_scan_iterator(PyObject* run_object, std::shared_ptr<const kestrune::Run> run,
                            kestrune::ScanCursor cursor, const Selection& selection);
// Whether the Run object has been closed (the iterators stop then).
bool run_is_closed(PyObject* run_object) noexcept;
// kestrune_data.open(path): a new Run (null with an exception set).
PyObject* open_path(PyObject* path);
// The opened run of a Run object (an instance of run_type()), shared with
// it; null with ValueError when the Run is closed.
std::shared_ptr<const kestrune::Run> opened_run(PyObject* run_object);

// A path given as str, bytes or os.PathLike: its bytes for the file system
// in `out` and, when asked, its text for Python in `text`. False with
// TypeError or ValueError (a NUL character) set.
bool path_arg_of(PyObject* arg, std::filesystem::path& out, PyRef* text = nullptr);

// ---------------------------------------------------------------------------
// Conversions (convert.cpp)

// kestrune_data.export_mzml(run_or_path, output, **options) and
// kestrune_data.qc_report(runs, html, *, ...), with their docstrings.
PyObject* export_mzml_function(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* qc_report_function(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char kExportMzmlDoc[];
extern const char kQcReportDoc[];
// kestrune_data.ExportSummary, created by create_convert_types().
PyTypeObject* export_summary_type() noexcept;
bool create_convert_types() noexcept;

}  // namespace kestrune::pydata
