// Whether the functions an export or a report reads are whole: their index
// and data files present, and the data file as long as the index promises
// (a bad copy cuts it short). What is not whole fails the work, naming the
// function and the bytes, unless the caller asks for what is there; then
// each such function draws a warning.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "error.h"
#include "raw/functions_inf.h"
#include "reader/reader.h"

namespace kestrune::exporting {

// The bytes the index of a function promises its data file holds: for
// 22-byte records the end of the last record, for 30-byte records (which
// give no lengths) the start of the last scan, rounded up to whole 8-byte
// records past what the file holds. Nothing for an index without records.
std::optional<std::uint64_t> promised_bytes(const reader::FunctionEntry& e) noexcept;

// Checks every function of the function table that `reads` selects.
// `option` names the option that lets the work go on ("--allow-incomplete").
Result<void> check_complete(const reader::Reader& r,
                            const std::function<bool(const raw::functions_inf::FunctionInfo&)>& reads,
                            bool allow_incomplete);

}  // namespace kestrune::exporting
