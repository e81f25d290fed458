#include "raw/index.h"

#include <cassert>

#include <fmt/format.h>

#include "fs.h"
#include "log.h"

namespace kestrune::raw::index {

namespace {

constexpr const char* kTarget = "kestrune::raw::index";

// A length that is a multiple of both strides (330 * k, k >= 1) could be
// either layout. Variant A files carry 0x18 in byte 7 of every 22-byte
// record and list their scans in data-file order; anything else is read as
// Variant B.
bool looks_like_variant_a(Bytes bytes) noexcept {
    const std::size_t n = bytes.size() / kStrideA;
    for (std::size_t i = 0; i < n; ++i)
        if (read_u8(bytes, i * kStrideA + 7) != kMarkerA) return false;
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t offset = read_u32le(bytes, i * kStrideA);
        if (i > 0 && offset < previous) return false;
        previous = offset;
    }
    return true;
}

}  // namespace

std::vector<ScanIndexA> parse_variant_a(Bytes bytes) {
    const std::size_t n = bytes.size() / kStrideA;
    std::vector<ScanIndexA> records;
    records.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes rec = bytes.subspan(i * kStrideA, kStrideA);
        ScanIndexA r;
        r.offset = read_u32le(rec, 0);
        // 24-bit count; the top byte of the word is the record marker.
        r.peak_count = read_u32le(rec, 4) & 0xFFFFFFu;
        r.rt_min = read_f32le(rec, 12);
        r.aux_word = read_u16le(rec, 16);
        records.push_back(r);
    }
    return records;
}

std::vector<ScanIndexB> parse_variant_b(Bytes bytes) {
    const std::size_t n = bytes.size() / kStrideB;
    std::vector<ScanIndexB> records;
    records.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes rec = bytes.subspan(i * kStrideB, kStrideB);
        ScanIndexB r;
        r.rt_min = read_f32le(rec, 12);
        r.offset = read_u32le(rec, 22);
        records.push_back(r);
    }
    return records;
}

Result<ScanIndex> ScanIndex::from_bytes(Bytes bytes) {
    const std::size_t len = bytes.size();
    const bool fits_a = len % kStrideA == 0;
    const bool fits_b = len % kStrideB == 0;
    if (!fits_a && !fits_b)
        return parse_error(fmt::format("_FUNCnnn.IDX: size {} is not a multiple of {} (Variant A) or {} (Variant B)",
                                       len, kStrideA, kStrideB));
    bool variant_a = fits_a;
    if (fits_a && fits_b && len > 0) {
        variant_a = looks_like_variant_a(bytes);
        log_debug(kTarget, "_FUNCnnn.IDX: {} bytes fits both strides; record markers select {}", len,
                  variant_a ? "22-byte Variant A" : "30-byte Variant B");
    }
    if (variant_a) return ScanIndex(Records(std::in_place_index<0>, parse_variant_a(bytes)));
    return ScanIndex(Records(std::in_place_index<1>, parse_variant_b(bytes)));
}

Result<ScanIndex> ScanIndex::from_path(const std::filesystem::path& path) {
    auto bytes = fs::read_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    return from_bytes(*bytes);
}

std::size_t ScanIndex::size() const noexcept {
    return std::visit([](const auto& v) { return v.size(); }, records_);
}

float ScanIndex::rt_min(std::size_t i) const {
    assert(i < size());
    return std::visit([i](const auto& v) { return v[i].rt_min; }, records_);
}

std::uint32_t ScanIndex::offset(std::size_t i) const {
    assert(i < size());
    return std::visit([i](const auto& v) { return v[i].offset; }, records_);
}

}  // namespace kestrune::raw::index
