// _FUNCnnn.IDX image -> ScanIndex::from_bytes, then the reader's use of an
// index: record width, addressed data size, per-scan offsets and times.
#include "common.h"
#include "raw/index.h"
#include "reader/reader.h"
#include "reader/reader.h"

using namespace kestrune;
using raw::index::kStrideA;
using raw::index::kStrideB;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::log_everything();
    const auto idx = raw::ScanIndex::from_bytes(Bytes(data, size));
    const bool fits = size % kStrideA == 0 || size % kStrideB == 0;
    if (!fuzz::touch(idx)) {
        if (fits) fuzz::fault("a size fitting a stride was rejected");
        return 0;
    }
    if (!fits) fuzz::fault("a size fitting no stride was accepted");
    if (size % kStrideA == 0 && size % kStrideB != 0 && !idx->is_variant_a()) fuzz::fault("variant A expected");
    if (size % kStrideB == 0 && size % kStrideA != 0 && !idx->is_variant_b()) fuzz::fault("variant B expected");
    const std::size_t stride = idx->is_variant_a() ? kStrideA : kStrideB;
    if (idx->size() != size / stride) fuzz::fault("scan count");

    for (std::size_t i = 0; i < idx->size(); ++i) {
        fuzz::touch(idx->rt_min(i));
        (void)idx->offset(i);
    }
    for (auto e : {reader::Encoding::A, reader::Encoding::B, reader::Encoding::C, reader::Encoding::D}) {
        const auto end = reader::index_end(*idx, e);
        if (end.has_value() != (idx->is_variant_a() && idx->size() > 0)) fuzz::fault("index_end presence");
    }
    if (idx->is_variant_a()) {
        const auto width = reader::variant_a_record_width(idx->a());
        if (width && *width != 6 && *width != 8) fuzz::fault("record width");
        if (width && idx->size() < 2) fuzz::fault("record width from a single record");
    } else {
        // The same records read as Variant A (the reader never does this for
        // a Variant B index, but the width search must hold for any records).
        (void)reader::variant_a_record_width(raw::index::parse_variant_a(Bytes(data, size)));
    }
    return 0;
}
