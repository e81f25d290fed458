// The instrument-model terms of the PSI-MS vocabulary for this vendor, as a
// table generated from the vocabulary (scripts/gen_instrument_models.py), so
// that the tool needs no vocabulary file at run time.
#pragma once

#include <span>
#include <string_view>

namespace kestrune::mzml {

struct InstrumentModel {
    std::string_view accession;
    std::string_view name;
    std::string_view key;             // the name's letters and digits, lower case
    std::string_view instrument_class;  // accession of its instrument class, or empty
};

std::span<const InstrumentModel> instrument_models() noexcept;

// The model term whose name matches the instrument text (letters and digits
// compared, case ignored), or nothing.
const InstrumentModel* match_instrument_model(std::string_view model_text) noexcept;

}  // namespace kestrune::mzml
