// Run-directory files the command line reads besides what the reader
// keeps: the whole function table and the chromatogram channels.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "raw/chroms.h"
#include "raw/functions_inf.h"
#include "raw/header.h"

namespace kestrune::cli {

// _HEADER.TXT with its texts as the command line shows them: UTF-8 when the
// file is valid UTF-8, otherwise Windows-1252 (as the acquisition software
// writes on Windows).
Result<raw::Header> load_header(const std::filesystem::path& dir);
Result<raw::Header> header_from_bytes(std::string_view bytes);

// The instrument text of the header split at its first '#': the model, and
// the serial number unless it is empty or "NotSet".
struct InstrumentText {
    std::string model;
    std::optional<std::string> serial_number;
};
InstrumentText split_instrument(std::string_view text);

// Every record of _FUNCTNS.INF, readable or not.
Result<raw::FunctionTable> load_function_table(const std::filesystem::path& dir);

// _CHROMS.INF of the run; nothing when the run has none.
Result<std::optional<raw::ChromsInf>> load_channels(const std::filesystem::path& dir);

// The samples of channel `index` (0-based) from _CHRO<index + 3>.DAT;
// nothing when that file does not exist.
Result<std::optional<std::vector<raw::chroms::ChromPoint>>> read_channel(const std::filesystem::path& dir,
                                                                          std::size_t index);

// "_CHRO" + number zero-padded to at least three digits + ".DAT".
std::string channel_file_name(std::size_t index);

}  // namespace kestrune::cli
