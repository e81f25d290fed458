// Deflate into zlib-format streams (RFC 1950, what mzML's "zlib compression"
// holds): any zlib inflates what this writes, and the stream is a function
// of the bytes and the level alone.
//
// Level 1, the default and the fastest, is ISA-L's level 1 (three times
// libdeflate's speed on these arrays, at the same size); the other levels
// are libdeflate's. ISA-L 2.30 is used in a way that keeps its stream
// reproducible: see deflate.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kestrune/export.h"

struct libdeflate_compressor;
struct isal_zstream;

namespace kestrune::codec {


// One compressor per thread; its working memory is kept between streams.
class Deflater {
public:
    // `level` from kMinCompressionLevel (stored blocks) to
    // kMaxCompressionLevel (smallest), as ExportOptions::validate checks.
    explicit Deflater(int level = kDefaultCompressionLevel);
    ~Deflater();
    Deflater(Deflater&&) noexcept;
    Deflater& operator=(Deflater&&) noexcept;

    // `in` as one whole zlib stream, valid until the next call; nothing when
    // the library fails.
    std::optional<std::span<const std::uint8_t>> compress(std::span<const std::uint8_t> in);

private:
    std::optional<std::span<const std::uint8_t>> compress_isal(std::span<const std::uint8_t> in);

    struct Free {
        void operator()(libdeflate_compressor* c) const noexcept;
    };
    std::unique_ptr<libdeflate_compressor, Free> compressor_;  // every level; level 1 for what ISA-L does not take
    std::unique_ptr<isal_zstream> isal_;                      // level 1 only
    std::vector<std::uint8_t> isal_level_buf_;
    std::vector<std::uint8_t> out_;
};

}  // namespace kestrune::codec
