// Shared pieces of the extension module: the internal-fault exception, the
// guard that keeps C++ exceptions out of the interpreter, error conversion,
// text conversion and the constructors of the value objects.
#pragma once

#include <Python.h>

#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "error.h"
#include "pyref.h"
#include "type_support.h"
#include "raw/chroms.h"
#include "raw/functions_inf.h"
#include "raw/header.h"

namespace kestrune::binding {

// The module's internal-fault exception class (derived from BaseException),
// created once per process; null before the first module execution.
PyObject* internal_fault_type() noexcept;
// Creates the class if it does not exist yet; false with an exception set on
// failure.
bool ensure_internal_fault_type() noexcept;
// Raises the internal-fault exception with `what` as its message.
void raise_internal_fault(const char* what) noexcept;

// Raises RuntimeError with the error's display text; returns null so that
// callers can `return to_py_err(...)`.
PyObject* to_py_err(Error error) noexcept;
// Raises RuntimeError with `message`; returns null.
PyObject* raise_runtime(std::string_view message) noexcept;

// A new str from UTF-8 text (invalid bytes replaced, never fails on content).
PyObject* new_str(std::string_view utf8) noexcept;

// The binding's own lookup of a run-directory file: the core lookup without
// log records and with a failed listing reported as the bare Io error.
Result<std::optional<std::filesystem::path>> find_side_file(const std::filesystem::path& dir,
                                                            std::string_view name);

// Type objects, created on first use and kept for the process; null with an
// exception set when creation fails.
PyTypeObject* raw_reader_type() noexcept;
PyTypeObject* run_header_type() noexcept;
PyTypeObject* function_info_type() noexcept;
PyTypeObject* spectrum_type() noexcept;
PyTypeObject* ims_spectrum_type() noexcept;
PyTypeObject* chrom_channel_type() noexcept;
PyTypeObject* chrom_point_type() noexcept;

// New value objects (null with an exception set on failure). The arrays are
// moved in; the records are copied.
PyObject* new_spectrum(std::vector<double>&& mz, std::vector<float>&& intensity);
PyObject* new_ims_spectrum(std::vector<double>&& mz, std::vector<double>&& drift_time_ms,
                           std::vector<float>&& intensity);
PyObject* new_chrom_channel(const raw::chroms::ChromChannel& channel);
PyObject* new_chrom_point(const raw::chroms::ChromPoint& point);
PyObject* new_function_info(const raw::functions_inf::FunctionInfo& info);
PyObject* new_run_header(const raw::Header& header);

// Raises the internal-fault exception for a C++ exception that reached an
// entry point (null: not a std::exception).
void raise_from_cpp(const std::exception* e) noexcept;

// Wraps a function called by the interpreter so that no C++ exception leaves
// it: anything thrown becomes the internal-fault exception.
template <auto F>
inline constexpr auto guarded = &GuardedBy<F, &raise_from_cpp>::call;

}  // namespace kestrune::binding
