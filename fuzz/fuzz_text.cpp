// The text helpers every parser and message relies on: UTF-8 repair and
// validation, trimming, the quoted form, the float and number syntax, and
// the plain and fixed-point forms of floats.
#include <string>

#include "common.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::log_everything();
    const std::string_view raw(reinterpret_cast<const char*>(data), size);

    const std::string lossy = text::lossy_utf8(raw);
    fuzz::check_utf8(lossy, "lossy text");
    if (text::is_valid_utf8(raw) && lossy != raw) fuzz::fault("lossy text changed valid UTF-8");

    const std::string_view trimmed = text::trim(lossy);
    if (trimmed.data() < lossy.data() || trimmed.data() + trimmed.size() > lossy.data() + lossy.size())
        fuzz::fault("trim left its input");
    fuzz::check_utf8(trimmed, "trimmed text");
    if (!trimmed.empty() && (text::white_space_at(trimmed) != 0)) fuzz::fault("trim kept leading white space");
    if (text::trim(trimmed) != trimmed) fuzz::fault("trim is not idempotent");
    if (text::trim_start(text::trim_end(lossy)) != trimmed) fuzz::fault("trim_start/trim_end differ from trim");

    const std::string q = text::quoted(lossy);
    fuzz::check_utf8(q, "quoted text");
    if (q.size() < 2 || q.front() != '"' || q.back() != '"') fuzz::fault("quoted form not in quotes");

    if (text::ascii_upper(raw).size() != raw.size()) fuzz::fault("ascii_upper length");

    if (const auto v = text::parse_f64(raw)) fuzz::touch(*v);
    if (const auto n = text::parse_u32(raw)) {
        if (text::parse_u32(std::to_string(*n)) != n) fuzz::fault("parse_u32 round trip");
    }

    // The first bytes as a double and as a float, in plain and fixed form.
    fuzz::Input in(data, size);
    const double d = in.f64();
    fuzz::touch(d);
    fuzz::touch(std::bit_cast<float>(static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(d))));
    const int decimals = in.u8() % 8;
    const std::string f = text::fixed(d, decimals);
    if (std::isfinite(d)) {
        const auto back = text::parse_f64(f);
        if (!back) fuzz::fault("fixed form does not parse", f);
        const auto dot = f.find('.');
        if (decimals == 0 ? dot != std::string::npos : f.size() - dot - 1 != static_cast<std::size_t>(decimals))
            fuzz::fault("fixed form decimals", f);
    }
    return 0;
}
