// The instrument's chromatogram channels as the export and the quality
// report use them: their samples, and how a channel's unit maps onto the
// vocabulary's chromatogram types, array types and units.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "error.h"
#include "mzml/psi_terms.h"
#include "raw/chroms.h"
#include "reader/reader.h"

namespace kestrune::exporting {

// The target of the export's log records.
inline constexpr const char* kTarget = "kestrune::export";

// How a channel's values are written: type and array terms, and the unit
// conversion into the array's unit (written = value * scale + offset).
struct ChannelKind {
    std::optional<term::Term> type;
    term::Term value_array = term::kNonStandardArray;
    std::optional<term::Term> unit;
    double scale = 1;
    double offset = 0;
    bool converted = false;
};
// By the channel's unit text (case and blanks ignored).
ChannelKind channel_kind(std::string_view units);

// Whether a channel holds a pressure, by its units or name.
bool is_pressure_channel(std::string_view name, std::string_view units);

// A chromatogram channel of the run and its samples as recorded.
struct ChannelSamples {
    raw::chroms::ChromChannel channel;
    std::vector<raw::chroms::ChromPoint> points;
};
// Every channel of the run with its samples; a channel whose sample file is
// missing is left out with a warning.
Result<std::vector<ChannelSamples>> channels_with_samples(const reader::Reader& r);

}  // namespace kestrune::exporting
