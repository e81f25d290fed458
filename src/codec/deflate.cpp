#include "codec/deflate.h"

#include <algorithm>
#include <limits>
#include <new>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

namespace kestrune::codec {

// Why ISA-L's level 1 is not called the obvious way (isal_deflate_stateless
// with a zlib wrapper): in ISA-L 2.30 the level 1 and 2 body, on the first
// bytes of a stream without history, files the third byte's position under a
// hash of the address of the isal_zstream (its first-byte path hashes a
// register it never loaded, which still holds that address) instead of a
// hash of the bytes. The stream stays valid but which matches are found,
// and so the bytes of the stream, then depend on where the allocator put the
// isal_zstream: one process in twenty gave another stream for a fixed 24-byte
// array (bench/deflate_repeatability.cpp).
//
// A stream that starts with history never takes that path. So the first byte
// goes into a stored block of its own, written here, and ISA-L deflates the
// rest as raw deflate blocks with that byte as its preset dictionary: the
// inflater has the byte in its window when ISA-L's blocks refer to it, and a
// raw stream needs no dictionary flag. The zlib header and the Adler-32
// trailer are written here. The cost is the stored block's five bytes.
namespace {

constexpr std::size_t kZlibHeader = 2, kStoredFirst = 5 + 1, kZlibTrailer = 4;

}  // namespace

void Deflater::Free::operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }

Deflater::Deflater(int level) : compressor_(libdeflate_alloc_compressor(level)) {
    if (!compressor_) throw std::bad_alloc();
    if (level == 1) {
        isal_ = std::make_unique<isal_zstream>();
        isal_level_buf_.resize(ISAL_DEF_LVL1_DEFAULT);
    }
}

Deflater::~Deflater() = default;
Deflater::Deflater(Deflater&&) noexcept = default;
Deflater& Deflater::operator=(Deflater&&) noexcept = default;

std::optional<std::span<const std::uint8_t>> Deflater::compress(std::span<const std::uint8_t> in) {
    // ISA-L counts in 32 bits; an array of 2 GiB or more, or one too short to
    // gain from it, goes to libdeflate at the same level.
    if (isal_ && in.size() > 1 && in.size() < (std::size_t(1) << 31)) return compress_isal(in);
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor_.get(), in.size());
    if (out_.size() < bound) out_.resize(bound);
    const std::size_t n = libdeflate_zlib_compress(compressor_.get(), in.data(), in.size(), out_.data(), out_.size());
    if (n == 0) return std::nullopt;
    return std::span<const std::uint8_t>(out_.data(), n);
}

std::optional<std::span<const std::uint8_t>> Deflater::compress_isal(std::span<const std::uint8_t> in) {
    const std::size_t fixed = kZlibHeader + kStoredFirst + kZlibTrailer;
    // Room for the deflate blocks to grow a little past their input; more
    // below should they need it.
    const std::size_t room = in.size() + in.size() / 16 + 1024;
    if (out_.size() < fixed + room) out_.resize(fixed + room);

    std::uint8_t* o = out_.data();
    *o++ = 0x78;  // deflate, 32 KiB window
    *o++ = 0x01;  // fastest; no dictionary; (0x78 << 8 | 0x01) % 31 == 0
    *o++ = 0x00;  // a stored block, not the last: BFINAL 0, BTYPE 00, padding
    *o++ = 0x01;  // LEN 1, little-endian, then its complement
    *o++ = 0x00;
    *o++ = 0xfe;
    *o++ = 0xff;
    *o++ = in[0];

    isal_zstream& s = *isal_;
    isal_deflate_init(&s);
    s.level = 1;
    s.level_buf = isal_level_buf_.data();
    s.level_buf_size = std::uint32_t(isal_level_buf_.size());
    s.gzip_flag = IGZIP_DEFLATE;
    s.end_of_stream = 1;
    s.flush = NO_FLUSH;
    if (isal_deflate_set_dict(&s, const_cast<std::uint8_t*>(in.data()), 1) != COMP_OK) return std::nullopt;
    s.next_in = const_cast<std::uint8_t*>(in.data()) + 1;
    s.avail_in = std::uint32_t(in.size() - 1);
    std::size_t written = std::size_t(o - out_.data());
    while (true) {
        const std::size_t space = std::min<std::size_t>(out_.size() - kZlibTrailer - written,
                                                        std::numeric_limits<std::uint32_t>::max());
        s.next_out = out_.data() + written;
        s.avail_out = std::uint32_t(space);
        const std::uint32_t avail_in = s.avail_in;
        if (isal_deflate(&s) != COMP_OK) return std::nullopt;
        const std::size_t produced = space - s.avail_out;
        written += produced;
        if (s.internal_state.state == ZSTATE_END) break;
        if (s.avail_out < 1024)
            out_.resize(out_.size() + out_.size() / 2);
        else if (produced == 0 && s.avail_in == avail_in)
            return std::nullopt;  // no progress with room to spare
    }
    const std::uint32_t adler = isal_adler32(1, in.data(), in.size());
    o = out_.data() + written;
    *o++ = std::uint8_t(adler >> 24);
    *o++ = std::uint8_t(adler >> 16);
    *o++ = std::uint8_t(adler >> 8);
    *o++ = std::uint8_t(adler);
    return std::span<const std::uint8_t>(out_.data(), written + kZlibTrailer);
}

}  // namespace kestrune::codec
