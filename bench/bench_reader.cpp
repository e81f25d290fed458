// Opening a large synthetic run and decoding every scan of its biggest
// function from disk (one open per scan; through one range read; through the
// public API's scan cursor), against the bare decoder on the same bytes in
// memory.
//
//   build/bench/bench_reader [--benchmark_filter=...]
//
// The run (4 functions of 20,000 scans, one of them holding 512 MB of
// Encoding C scans) is written once to $TMPDIR/kestrune-bench-run and reused.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "fs.h"
#include "kestrune/kestrune.h"
#include "raw/data.h"
#include "reader/lookup.h"
#include "reader/reader.h"
#include "support/run_writer.h"

namespace {

using namespace kestrune;
using testing::ByteVec;

constexpr std::uint32_t kScans = 20000;
constexpr std::uint32_t kBigRecords = 3200;  // 8-byte records: 25,600 bytes a scan, 512 MB in all
constexpr std::uint32_t kBigFunction = 2;

void write_file(const std::filesystem::path& p, const ByteVec& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Encoding C scan: positions rising from 1000, ~5% zero intensities.
void append_scan_c(ByteVec& dat, std::uint32_t records, std::mt19937& rng) {
    const std::size_t at = dat.size();
    dat.resize(at + std::size_t{records} * 8);
    std::uint8_t* p = dat.data() + at;
    for (std::uint32_t k = 0; k < records; ++k, p += 8) {
        const std::uint16_t intensity = rng() % 20 == 0 ? 0 : static_cast<std::uint16_t>(1 + rng() % 5000);
        const std::uint16_t fraction = static_cast<std::uint16_t>(rng());
        const std::uint16_t position = static_cast<std::uint16_t>(1000 + k * 15);
        const std::uint16_t words[4] = {0, intensity, fraction, position};
        std::memcpy(p, words, 8);
    }
}

const std::filesystem::path& run_dir() {
    static const std::filesystem::path dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::filesystem::path d = std::filesystem::path(tmp ? tmp : "/tmp") / "kestrune-bench-run";
        if (std::filesystem::exists(d / "complete")) return d;
        std::filesystem::remove_all(d);
        std::filesystem::create_directories(d);
        std::mt19937 rng(12345);
        ByteVec table;
        std::string cal;
        for (std::uint32_t n = 1; n <= 4; ++n) {
            raw::functions_inf::FunctionInfo info;
            info.function_type = 0x12;
            info.scan_time_s = 0.5f;
            info.mz_low = 50;
            info.mz_high = 2000;
            const ByteVec rec = testing::function_record(info);
            table.insert(table.end(), rec.begin(), rec.end());
            cal += "$$ Cal Function " + std::to_string(n) + ": 1.2e-3,0.99987,3.1e-7,-2.2e-11,T1\r\n";

            const std::uint32_t records = n == kBigFunction ? kBigRecords : 12;
            ByteVec dat;
            dat.reserve(std::size_t{kScans} * records * 8);
            std::vector<raw::ScanIndexB> idx;
            idx.reserve(kScans);
            for (std::uint32_t s = 0; s < kScans; ++s) {
                idx.push_back({static_cast<std::uint32_t>(dat.size()), 0.001f * static_cast<float>(s)});
                append_scan_c(dat, records, rng);
            }
            write_file(d / reader::function_file_name(n, ".IDX"), testing::index_b_image(idx));
            write_file(d / reader::function_file_name(n, ".DAT"), dat);
        }
        write_file(d / "_FUNCTNS.INF", table);
        const std::string header = "$$ Instrument: XEVO-G2XSQTOF\r\n" + cal;
        write_file(d / "_HEADER.TXT", ByteVec(header.begin(), header.end()));
        const std::string ext = testing::extern_text(1800, 7000);
        write_file(d / "_extern.inf", ByteVec(ext.begin(), ext.end()));
        write_file(d / "complete", {});
        return d;
    }();
    return dir;
}

void BM_Open(benchmark::State& state) {
    const auto& dir = run_dir();
    for (auto _ : state) {
        auto r = reader::Reader::open(dir);
        if (!r) state.SkipWithError(r.error().to_string().c_str());
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_Open)->Unit(benchmark::kMillisecond);

void BM_DecodeScanFromDisk(benchmark::State& state) {
    auto r = reader::Reader::open(run_dir());
    if (!r) {
        state.SkipWithError(r.error().to_string().c_str());
        return;
    }
    std::uint64_t bytes = 0, records = 0;
    for (auto _ : state) {
        for (std::uint64_t s = 0; s < kScans; ++s) {
            auto d = r->decode_scan(kBigFunction, s);
            if (!d) {
                state.SkipWithError(d.error().to_string().c_str());
                return;
            }
            benchmark::DoNotOptimize(d->mz);
        }
        bytes += r->function(kBigFunction)->dat_size;
        records += std::uint64_t{kScans} * kBigRecords;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(records));
}
BENCHMARK(BM_DecodeScanFromDisk)->Unit(benchmark::kMillisecond)->MinTime(5);

void BM_DecodeRangeFromDisk(benchmark::State& state) {
    auto r = reader::Reader::open(run_dir());
    if (!r) {
        state.SkipWithError(r.error().to_string().c_str());
        return;
    }
    std::uint64_t bytes = 0, records = 0;
    Scan scan;
    for (auto _ : state) {
        auto range = reader::ScanRange::open(*r, kBigFunction, 0, kScans);
        if (!range) {
            state.SkipWithError(range.error().to_string().c_str());
            return;
        }
        for (;;) {
            auto more = range->next(scan);
            if (!more) {
                state.SkipWithError(more.error().to_string().c_str());
                return;
            }
            if (!*more) break;
            benchmark::DoNotOptimize(scan.mz.data());
        }
        bytes += r->function(kBigFunction)->dat_size;
        records += std::uint64_t{kScans} * kBigRecords;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(records));
}
BENCHMARK(BM_DecodeRangeFromDisk)->Unit(benchmark::kMillisecond)->MinTime(5);

void BM_ScanCursorFromDisk(benchmark::State& state) {
    auto run = Run::open(run_dir());
    if (!run) {
        state.SkipWithError(run.error().to_string().c_str());
        return;
    }
    std::uint64_t scans = 0, records = 0;
    Scan scan;
    for (auto _ : state) {
        auto cursor = run->scans(kBigFunction);
        if (!cursor) {
            state.SkipWithError(cursor.error().to_string().c_str());
            return;
        }
        while (cursor->next(scan).value_or(false)) benchmark::DoNotOptimize(scan.mz.data());
        scans += cursor->position();
        records += std::uint64_t{kScans} * kBigRecords;
    }
    if (scans % kScans != 0) state.SkipWithError("a scan failed");
    state.SetItemsProcessed(static_cast<std::int64_t>(records));
}
BENCHMARK(BM_ScanCursorFromDisk)->Unit(benchmark::kMillisecond)->MinTime(5);

void BM_BareDecoderInMemory(benchmark::State& state) {
    auto r = reader::Reader::open(run_dir());
    if (!r) {
        state.SkipWithError(r.error().to_string().c_str());
        return;
    }
    const reader::FunctionEntry& f = *r->function(kBigFunction);
    auto dat = fs::read_file(f.dat_path);
    raw::DecodeParams params;
    params.cal = f.cal;
    params.tof_constant = reader::tof_constant(r->extern_inf().lteff, r->extern_inf().veff);
    params.mz_low = f.info.mz_low;
    params.mz_high = f.info.mz_high;
    params.scan_time_ms = static_cast<double>(f.info.scan_time_s) * 1000.0;
    const std::size_t scan_bytes = std::size_t{kBigRecords} * 8;
    std::uint64_t bytes = 0, records = 0;
    for (auto _ : state) {
        for (std::size_t s = 0; s < kScans; ++s) {
            auto d = raw::data::decode_encoding_c(Bytes(*dat).subspan(s * scan_bytes, scan_bytes), params);
            benchmark::DoNotOptimize(d);
        }
        bytes += dat->size();
        records += std::uint64_t{kScans} * kBigRecords;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(records));
}
BENCHMARK(BM_BareDecoderInMemory)->Unit(benchmark::kMillisecond)->MinTime(5);

// The bare decoder on the same bytes in memory, into arrays reused from scan
// to scan as the range read does: the range read's own yardstick.
void BM_BareDecoderInMemoryReusedArrays(benchmark::State& state) {
    auto r = reader::Reader::open(run_dir());
    if (!r) {
        state.SkipWithError(r.error().to_string().c_str());
        return;
    }
    const reader::FunctionEntry& f = *r->function(kBigFunction);
    auto dat = fs::read_file(f.dat_path);
    const raw::DecodeParams params = r->decode_params(f);
    const std::size_t scan_bytes = std::size_t{kBigRecords} * 8;
    Scan scan;
    std::uint64_t bytes = 0, records = 0;
    for (auto _ : state) {
        for (std::size_t s = 0; s < kScans; ++s) {
            auto k = raw::data::decode_into(f.encoding, Bytes(*dat).subspan(s * scan_bytes, scan_bytes), params,
                                            {scan.mz, scan.intensity, scan.drift_time_ms});
            benchmark::DoNotOptimize(k);
        }
        bytes += dat->size();
        records += std::uint64_t{kScans} * kBigRecords;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(records));
}
BENCHMARK(BM_BareDecoderInMemoryReusedArrays)->Unit(benchmark::kMillisecond)->MinTime(5);

}  // namespace

BENCHMARK_MAIN();
