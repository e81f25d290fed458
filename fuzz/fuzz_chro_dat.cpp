// _CHROnnn.DAT image -> parse_chro_bytes.
#include "common.h"
#include "raw/chroms.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::log_everything();
    const auto points = raw::chroms::parse_chro_bytes(Bytes(data, size));
    const bool well_formed = size >= raw::chroms::kHeaderSize && size % 8 == 0;
    if (!fuzz::touch(points)) {
        if (well_formed) fuzz::fault("a well-formed size was rejected");
        return 0;
    }
    if (!well_formed) fuzz::fault("a malformed size was accepted");
    if (points->size() != (size - raw::chroms::kHeaderSize) / 8) fuzz::fault("sample count");
    for (const auto& p : *points) {
        fuzz::touch(p.rt_min);
        fuzz::touch(p.value);
    }
    return 0;
}
