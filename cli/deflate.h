// Deflate into zlib-format streams (RFC 1950, what mzML's "zlib compression"
// holds) with libdeflate: any zlib inflates what it writes, and the stream
// is a function of the bytes and the level alone. (ISA-L, three times
// faster on these arrays, was measured and left out: here its streams for
// some small arrays differ from one process to the next, which would make
// the export depend on chance; bench/bench_deflate.cpp compares them.)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct libdeflate_compressor;

namespace kestrune::cli {

// libdeflate's levels: 0 (stored, no compression) to 12 (smallest, slowest).
inline constexpr int kMinDeflateLevel = 0;
inline constexpr int kMaxDeflateLevel = 12;
inline constexpr int kDefaultDeflateLevel = 1;

// One compressor per thread; its working memory is kept between streams.
class Deflater {
public:
    explicit Deflater(int level = kDefaultDeflateLevel);  // clamped to the levels above

    // `in` as one whole zlib stream, valid until the next call; nothing when
    // the library fails.
    std::optional<std::span<const std::uint8_t>> compress(std::span<const std::uint8_t> in);

private:
    struct Free {
        void operator()(libdeflate_compressor* c) const noexcept;
    };
    std::unique_ptr<libdeflate_compressor, Free> compressor_;
    std::vector<std::uint8_t> out_;
};

}  // namespace kestrune::cli
