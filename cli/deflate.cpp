#include "deflate.h"

#include <algorithm>

#include <isa-l/igzip_lib.h>

namespace kestrune::cli {

namespace {
constexpr std::uint32_t kLevelBufSize[] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                           ISAL_DEF_LVL3_DEFAULT};
static_assert(ISAL_DEF_MAX_LEVEL == kMaxDeflateLevel);

// Room for the input in stored blocks (5 header bytes per 64 KiB block),
// the zlib header and trailer and a block header: the library falls back to
// stored blocks when its codes would not fit.
std::size_t stored_bound(std::size_t n) { return n + (n / 65535 + 1) * 5 + ISAL_DEF_MAX_HDR_SIZE + 64; }
}  // namespace

Deflater::Deflater(int level)
    : level_(std::uint32_t(std::clamp(level, kMinDeflateLevel, kMaxDeflateLevel))),
      level_buf_(kLevelBufSize[level_]) {}

std::optional<std::span<const std::uint8_t>> Deflater::compress(std::span<const std::uint8_t> in) {
    if (in.size() >= 0xFFFFFFFFu - stored_bound(0)) return std::nullopt;
    if (out_.size() < stored_bound(in.size())) out_.resize(stored_bound(in.size()));
    isal_zstream s;
    isal_deflate_stateless_init(&s);
    s.level = level_;
    s.level_buf = level_buf_.empty() ? nullptr : level_buf_.data();
    s.level_buf_size = std::uint32_t(level_buf_.size());
    s.gzip_flag = IGZIP_ZLIB;
    s.end_of_stream = 1;
    s.flush = NO_FLUSH;
    s.next_in = const_cast<std::uint8_t*>(in.data());
    s.avail_in = std::uint32_t(in.size());
    s.next_out = out_.data();
    s.avail_out = std::uint32_t(std::min<std::size_t>(out_.size(), 0xFFFFFFFFu));
    if (isal_deflate_stateless(&s) != COMP_OK) return std::nullopt;
    return std::span<const std::uint8_t>(out_.data(), s.total_out);
}

}  // namespace kestrune::cli
