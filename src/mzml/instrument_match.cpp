#include "mzml/instrument_models.h"

#include <string>

namespace kestrune::mzml {

const InstrumentModel* match_instrument_model(std::string_view model_text) noexcept {
    std::string key;
    for (char c : model_text) {
        if (c >= 'A' && c <= 'Z') key.push_back(char(c - 'A' + 'a'));
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) key.push_back(c);
    }
    if (key.empty()) return nullptr;
    for (const InstrumentModel& m : instrument_models())
        if (m.key == key) return &m;
    return nullptr;
}

}  // namespace kestrune::mzml
