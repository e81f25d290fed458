// One fixed 24-byte array (three drift times of an ion-mobility scan)
// compressed at level 1 into a zlib stream by ISA-L called the plain way
// (isal_deflate_stateless), by libdeflate and by the export's deflater
// (cli/deflate.h); prints the three streams in hex. Run it many times: a
// stream that changes from one process to the next cannot give a
// reproducible export.
//
//   for i in $(seq 100); do build/bench/deflate_repeatability; done | sort | uniq -c
//
// (With ISA-L 2.30, about 1 process in 20 prints another plain ISA-L
// stream, as the isal_zstream lands elsewhere; see cli/deflate.cpp for the
// cause. libdeflate's and the export's never change.)
#include <cstdint>
#include <cstdio>
#include <vector>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include "codec/deflate.h"

namespace {

const std::uint8_t kInput[24] = {0x00, 0xfb, 0xff, 0x04, 0xec, 0xff, 0x43, 0x40, 0x00, 0xb0, 0xff, 0x04,
                                 0xc0, 0xfe, 0x03, 0x40, 0x00, 0xfb, 0xff, 0x04, 0xec, 0xff, 0x43, 0x40};

void print(const char* name, const std::uint8_t* p, std::size_t n) {
    std::printf("%s ", name);
    for (std::size_t i = 0; i < n; ++i) std::printf("%02x", p[i]);
    std::printf("\n");
}

}  // namespace

int main() {
    std::vector<std::uint8_t> level_buf(ISAL_DEF_LVL1_DEFAULT), out(1024);
    isal_zstream s{};
    isal_deflate_stateless_init(&s);
    s.level = 1;
    s.level_buf = level_buf.data();
    s.level_buf_size = std::uint32_t(level_buf.size());
    s.gzip_flag = IGZIP_ZLIB;
    s.end_of_stream = 1;
    s.next_in = const_cast<std::uint8_t*>(kInput);
    s.avail_in = sizeof kInput;
    s.next_out = out.data();
    s.avail_out = std::uint32_t(out.size());
    if (isal_deflate_stateless(&s) != COMP_OK) return 1;
    print("isa-l", out.data(), s.total_out);

    libdeflate_compressor* c = libdeflate_alloc_compressor(1);
    if (!c) return 1;
    const std::size_t n = libdeflate_zlib_compress(c, kInput, sizeof kInput, out.data(), out.size());
    libdeflate_free_compressor(c);
    if (n == 0) return 1;
    print("libdeflate", out.data(), n);

    kestrune::codec::Deflater d(1);
    const auto packed = d.compress(kInput);
    if (!packed) return 1;
    print("export", packed->data(), packed->size());
    return 0;
}
