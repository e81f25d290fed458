// _extern.inf text -> ExternInf::from_str (lossy-decoded as from_path does,
// and as raw bytes), with the MS level and polarity answers built on it.
#include "common.h"
#include "raw/extern_inf.h"

using namespace kestrune;

namespace {

void touch_settings(const raw::ExternInf& inf) {
    fuzz::touch(inf.lteff);
    fuzz::touch(inf.veff);
    if (inf.pusher_interval) fuzz::touch(*inf.pusher_interval);
    for (const auto& [number, f] : inf.functions) {
        if (f.number != number) fuzz::fault("section number differs from its key");
        if (static_cast<unsigned>(f.kind) > 5) fuzz::fault("function kind");
        const auto level = inf.ms_level(number);
        if (level != raw::extern_inf::ms_level(f.kind) || (level != 1 && level != 2)) fuzz::fault("MS level");
        fuzz::touch(f.start_mass);
        fuzz::touch(f.end_mass);
        if (f.set_mass) fuzz::touch(*f.set_mass);
        if (f.adc_pusher_frequency) fuzz::touch(*f.adc_pusher_frequency);
    }
    if (inf.ms_level(0) < 1 || inf.ms_level(0xFFFFFFFFu) < 1) fuzz::fault("MS level of an absent section");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& sink = fuzz::log_everything();
    const std::string_view raw_text(reinterpret_cast<const char*>(data), size);

    sink.want_utf8 = true;
    const auto inf = raw::ExternInf::from_str(text::lossy_utf8(raw_text));
    if (fuzz::touch(inf)) touch_settings(*inf);

    sink.want_utf8 = false;
    const auto raw_inf = raw::ExternInf::from_str(raw_text);
    if (fuzz::touch(raw_inf, false)) touch_settings(*raw_inf);

    // The classification of the text as a section type.
    const auto kind = raw::extern_inf::classify(text::ascii_upper(raw_text));
    if (static_cast<unsigned>(kind) > 5) fuzz::fault("classify");
    return 0;
}
