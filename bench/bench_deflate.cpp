// The deflate libraries on the binary arrays the export writes: zlib, ISA-L
// and libdeflate, each producing zlib-format streams, one stream per array
// as in the mzML. Reports the throughput (MB/s of array bytes, the best of
// three passes) and the compressed size, and checks that plain zlib
// inflates every stream back to the array. "export" is the export's own
// deflater (cli/deflate.h) at its levels 1 and 6: ISA-L's level 1 started
// from a one-byte stored block, and libdeflate.
//
//   build/bench/bench_deflate RUN [MAX_SCANS]
//
// RUN is any run directory, e.g. one written by bench/bench_cli.py.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include "codec/deflate.h"
#include "reader/reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Compress = std::function<std::size_t(const Bytes& in, Bytes& out)>;

template <class T>
Bytes bytes_of(const std::vector<T>& v) {
    Bytes b(v.size() * sizeof(T));
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

std::size_t zlib_compress(const Bytes& in, Bytes& out, int level, int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) std::abort();
    out.resize(deflateBound(&z, uLong(in.size())));
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    const std::size_t n = z.total_out;
    deflateEnd(&z);
    return n;
}

struct Isal {
    explicit Isal(int level) : level(level) {
        static const std::uint32_t sizes[] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                              ISAL_DEF_LVL3_DEFAULT};
        level_buf.resize(sizes[level]);
    }
    std::size_t operator()(const Bytes& in, Bytes& out) {
        out.resize(in.size() + in.size() / 16 + 1024);
        isal_zstream s{};  // the library's init leaves fields it reads
        isal_deflate_stateless_init(&s);
        s.level = std::uint32_t(level);
        s.level_buf = level_buf.data();
        s.level_buf_size = std::uint32_t(level_buf.size());
        s.gzip_flag = IGZIP_ZLIB;
        s.end_of_stream = 1;
        s.flush = NO_FLUSH;
        s.next_in = const_cast<std::uint8_t*>(in.data());
        s.avail_in = std::uint32_t(in.size());
        s.next_out = out.data();
        s.avail_out = std::uint32_t(out.size());
        if (isal_deflate_stateless(&s) != COMP_OK) std::abort();
        return s.total_out;
    }
    int level;
    Bytes level_buf;
};

struct Libdeflate {
    explicit Libdeflate(int level) : c(libdeflate_alloc_compressor(level), libdeflate_free_compressor) {}
    std::size_t operator()(const Bytes& in, Bytes& out) {
        out.resize(libdeflate_zlib_compress_bound(c.get(), in.size()));
        const std::size_t n = libdeflate_zlib_compress(c.get(), in.data(), in.size(), out.data(), out.size());
        if (n == 0) std::abort();
        return n;
    }
    std::shared_ptr<libdeflate_compressor> c;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_deflate RUN [MAX_SCANS]\n");
        return 2;
    }
    const std::size_t max_scans = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 400;
    auto r = kestrune::reader::Reader::open(argv[1]);
    if (!r) {
        std::fprintf(stderr, "%s\n", r.error().to_string().c_str());
        return 1;
    }
    std::vector<Bytes> arrays;
    std::size_t total = 0;
    for (const auto& f : r->functions()) {
        for (std::uint64_t s = 0; s < f.idx.size() && arrays.size() < 2 * max_scans; ++s) {
            auto d = r->decode_scan(f.number, s);
            if (!d) continue;
            arrays.push_back(bytes_of(d->mz));
            arrays.push_back(bytes_of(d->intensity));
            if (d->ion_mobility) arrays.push_back(bytes_of(d->drift_time_ms));
        }
    }
    for (const Bytes& a : arrays) total += a.size();
    std::printf("%zu arrays, %.1f MB\n", arrays.size(), double(total) / 1e6);

    std::vector<std::pair<std::string, Compress>> codecs;
    for (int level : {1, 6}) codecs.emplace_back("zlib " + std::to_string(level), [level](const Bytes& i, Bytes& o) {
        return zlib_compress(i, o, level);
    });
    codecs.emplace_back("zlib huffman", [](const Bytes& i, Bytes& o) { return zlib_compress(i, o, 1, Z_HUFFMAN_ONLY); });
    for (int level = 0; level <= ISAL_DEF_MAX_LEVEL; ++level)
        codecs.emplace_back("isa-l " + std::to_string(level), Isal(level));
    for (int level : {1, 2, 3, 4, 6, 9, 12})
        codecs.emplace_back("libdeflate " + std::to_string(level), Libdeflate(level));
    for (int level : {1, 6}) {
        auto d = std::make_shared<kestrune::codec::Deflater>(level);
        codecs.emplace_back("export " + std::to_string(level), [d](const Bytes& i, Bytes& o) {
            const auto packed = d->compress(i);
            if (!packed) std::abort();
            o.assign(packed->begin(), packed->end());
            return o.size();
        });
    }

    Bytes out, back;
    for (auto& [name, compress] : codecs) {
        double best = 1e30;
        std::size_t packed = 0;
        for (int pass = 0; pass < 3; ++pass) {
            packed = 0;
            const auto t0 = std::chrono::steady_clock::now();
            for (const Bytes& a : arrays) packed += compress(a, out);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
        bool inflates = true;
        for (const Bytes& a : arrays) {
            const std::size_t n = compress(a, out);
            back.resize(a.size());
            uLongf len = uLongf(back.size());
            inflates = inflates && uncompress(back.data(), &len, out.data(), uLong(n)) == Z_OK && len == a.size() &&
                       back == a;
        }
        std::printf("%-14s %8.1f MB/s  %6.1f%% of the input  zlib inflates: %s\n", name.c_str(),
                    double(total) / 1e6 / best, 100.0 * double(packed) / double(total), inflates ? "yes" : "NO");
    }
    return 0;
}
