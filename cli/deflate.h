// Deflate into zlib-format streams (RFC 1950, what mzML's "zlib compression"
// holds) with ISA-L, which measured fastest on the binary arrays of these
// runs (bench/bench_deflate.cpp). Any zlib inflates what it writes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrune::cli {

// ISA-L's own levels: 0 (fixed Huffman codes, no smaller than the input on
// float arrays), 1 (default), 2 and 3 (longer match searches).
inline constexpr int kMinDeflateLevel = 0;
inline constexpr int kMaxDeflateLevel = 3;
inline constexpr int kDefaultDeflateLevel = 1;

// One compressor per thread; its working memory is kept between streams.
class Deflater {
public:
    explicit Deflater(int level = kDefaultDeflateLevel);  // clamped to the levels above

    // `in` as one whole zlib stream, valid until the next call; nothing when
    // the library fails (inputs of 4 GiB and more).
    std::optional<std::span<const std::uint8_t>> compress(std::span<const std::uint8_t> in);

private:
    std::uint32_t level_;
    std::vector<std::uint8_t> level_buf_;
    std::vector<std::uint8_t> out_;
};

}  // namespace kestrune::cli
