// _FUNCnnn.IDX: the scan index of one function, in one of two record layouts
// (22-byte Variant A records with a peak count, 30-byte Variant B records).
#pragma once

#include <cstdint>
#include <filesystem>
#include <variant>
#include <vector>

#include "bytes.h"
#include "error.h"

namespace kestrune::raw::index {

inline constexpr std::size_t kStrideA = 22;
inline constexpr std::size_t kStrideB = 30;
inline constexpr std::uint8_t kMarkerA = 0x18;  // byte 7 of every Variant A record

struct ScanIndexA {
    std::uint32_t offset = 0;      // first byte of the scan in _FUNCnnn.DAT
    std::uint32_t peak_count = 0;  // 24-bit count of data records
    float rt_min = 0;
    std::uint16_t aux_word = 0;
};

struct ScanIndexB {
    std::uint32_t offset = 0;
    float rt_min = 0;
};

std::vector<ScanIndexA> parse_variant_a(Bytes bytes);
std::vector<ScanIndexB> parse_variant_b(Bytes bytes);

class ScanIndex {
public:
    using Records = std::variant<std::vector<ScanIndexA>, std::vector<ScanIndexB>>;

    ScanIndex() = default;
    explicit ScanIndex(Records records) : records_(std::move(records)) {}

    static Result<ScanIndex> from_bytes(Bytes bytes);
    static Result<ScanIndex> from_path(const std::filesystem::path& path);

    bool is_variant_a() const noexcept { return records_.index() == 0; }
    bool is_variant_b() const noexcept { return records_.index() == 1; }
    // Records of the variant; only valid when the variant matches.
    const std::vector<ScanIndexA>& a() const { return std::get<0>(records_); }
    const std::vector<ScanIndexB>& b() const { return std::get<1>(records_); }
    const Records& records() const noexcept { return records_; }

    // Number of scans of the function.
    std::size_t size() const noexcept;
    // Retention time of scan i (i < size()).
    float rt_min(std::size_t i) const;
    // Data-file offset of scan i (i < size()).
    std::uint32_t offset(std::size_t i) const;

private:
    Records records_;
};

}  // namespace kestrune::raw::index

namespace kestrune::raw {
using index::ScanIndex;
using index::ScanIndexA;
using index::ScanIndexB;
}
