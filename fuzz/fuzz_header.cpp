// _HEADER.TXT text -> Header::from_str, as from_path hands it over (invalid
// UTF-8 replaced) and as raw bytes; the calibration value parser alone.
#include "common.h"
#include "raw/header.h"
#include "raw/header.h"

using namespace kestrune;

namespace {

void touch_header(const raw::Header& h, bool want_utf8) {
    for (const auto* field : {&h.version, &h.acquired_name, &h.acquired_date, &h.acquired_time, &h.instrument,
                              &h.operator_, &h.sample_description}) {
        if (!*field) continue;
        if (want_utf8) fuzz::check_utf8(**field, "header field");
        if (text::trim(**field).size() != (*field)->size()) fuzz::fault("header field not trimmed");
        if (want_utf8) fuzz::check_utf8(text::quoted(**field), "quoted header field");
    }
    for (const auto& [number, cal] : h.calibration) {
        (void)number;
        if (raw::header::cal_type_name(cal.cal_type).size() != 2) fuzz::fault("calibration type name");
        for (double c : cal.coefficients) fuzz::touch(c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& sink = fuzz::log_everything();
    const std::string_view raw_text(reinterpret_cast<const char*>(data), size);

    const std::string text = text::lossy_utf8(raw_text);
    fuzz::check_utf8(text, "lossy text");
    sink.want_utf8 = true;
    const auto header = raw::Header::from_str(text);
    if (fuzz::touch(header)) touch_header(*header, true);

    // Raw bytes are not what the reader passes, but the parser must still
    // stay inside its input and never crash on them.
    sink.want_utf8 = false;
    const auto raw_header = raw::Header::from_str(raw_text);
    if (fuzz::touch(raw_header, false)) touch_header(*raw_header, false);

    // The whole text as the value of one calibration line.
    const auto cal = raw::header::parse_cal_value(text);
    if (fuzz::touch(cal))
        for (double c : cal->coefficients) fuzz::touch(c);
    return 0;
}
