#include "deflate.h"

#include <algorithm>
#include <new>

#include <libdeflate.h>

namespace kestrune::cli {

void Deflater::Free::operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }

Deflater::Deflater(int level)
    : compressor_(libdeflate_alloc_compressor(std::clamp(level, kMinDeflateLevel, kMaxDeflateLevel))) {
    if (!compressor_) throw std::bad_alloc();
}

std::optional<std::span<const std::uint8_t>> Deflater::compress(std::span<const std::uint8_t> in) {
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor_.get(), in.size());
    if (out_.size() < bound) out_.resize(bound);
    const std::size_t n = libdeflate_zlib_compress(compressor_.get(), in.data(), in.size(), out_.data(), out_.size());
    if (n == 0) return std::nullopt;
    return std::span<const std::uint8_t>(out_.data(), n);
}

}  // namespace kestrune::cli
