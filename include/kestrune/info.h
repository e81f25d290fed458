/// @file
/// A run described for people and for programs: what `kestrune info` prints.
#pragma once

#include <cstdint>
#include <string>

#include "kestrune/config.h"
#include "kestrune/error.h"
#include "kestrune/run.h"

namespace kestrune {

/// The form of a run's description.
enum class InfoFormat : std::uint8_t {
    Text,  ///< Aligned "key value" lines, a block per function.
    Json   ///< JSON (schema: docs/info.schema.json).
};

/// The run's header, instrument settings, functions (readable or not, with
/// the representation an export would write) and chromatogram channels.
/// Header texts that are not valid UTF-8 are read as Windows-1252. Fails
/// when the chromatogram table cannot be read.
KESTRUNE_API Result<std::string> describe_run(const Run& run, InfoFormat format);

}  // namespace kestrune
