// _CHROMS.INF image -> ChromsInf::from_bytes; each record's text field
// through the "$CC$" scale-and-units reader and the Windows-1252 decoder.
#include "common.h"
#include "raw/chroms.h"

using namespace kestrune;
namespace chroms = raw::chroms;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::log_everything();
    const Bytes bytes(data, size);
    const auto inf = chroms::ChromsInf::from_bytes(bytes);
    if (fuzz::touch(inf)) {
        for (std::size_t i = 0; i < inf->channels.size(); ++i) {
            const auto& ch = inf->channels[i];
            if (ch.index != i) fuzz::fault("channel index");
            fuzz::check_utf8(ch.name, "channel name");
            fuzz::check_utf8(ch.units, "channel units");
            fuzz::touch(ch.scale_f);
        }
    }
    // Any 81 bytes of the input as a text field, and the whole input as text.
    const std::size_t field = chroms::kTextField;
    const Bytes text_field = size >= field ? bytes.first(field) : bytes;
    auto [scale, units] = chroms::parse_cc_spec(text_field);
    fuzz::touch(scale);
    fuzz::check_utf8(units, "$CC$ units");
    const std::string decoded = chroms::decode_cp1252(bytes);
    fuzz::check_utf8(decoded, "cp1252 text");
    if (decoded.size() < size || decoded.size() > 3 * size) fuzz::fault("cp1252 length");
    return 0;
}
