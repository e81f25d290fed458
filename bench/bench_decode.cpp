// Throughput of the four scan decoders over realistic scans: 20,000 records,
// about 5% of them with zero intensity, T1 calibration with four
// coefficients. Before measuring, every decoder's output is compared bit for
// bit with a straightforward one-record loop on the same data.

#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "raw/data.h"
#include "raw/data.h"

namespace {

using namespace kestrune::raw;
using Image = std::vector<std::uint8_t>;

constexpr std::size_t kRecords = 20000;

struct Scans {
    Image a, b, c, d;
    data::DecodeParams params;
};

void put(Image& img, std::uint64_t v, int width) {
    for (int j = 0; j < width; ++j) img.push_back(static_cast<std::uint8_t>(v >> (8 * j)));
}

Scans make_scans() {
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<unsigned> count(1, 4000);
    std::bernoulli_distribution zero(0.05);
    Scans s;
    s.params.cal = FunctionCal{{1.2e-3, 1.00013, 2.1e-9, -3.4e-13}, CalType::T1};
    s.params.tof_constant = 0.0728;
    s.params.mz_low = 50;
    s.params.mz_high = 2000;
    s.params.scan_time_ms = 1000 * static_cast<double>(0.125f);
    for (std::size_t i = 0; i < kRecords; ++i) {
        const unsigned level = zero(rng) ? 0 : count(rng);
        // Positions rise through the scan like a sorted m/z axis.
        const std::uint64_t position = 2000 + i * 3 + rng() % 3;
        const std::uint64_t nibble = 9 + rng() % 3;
        const std::uint64_t mantissa = 0x800000 | (rng() & 0x7FFFFF);
        put(s.a, level | (nibble << 20) | (mantissa << 24), 6);
        put(s.b, (std::uint64_t{level} << 16) | ((rng() & 0xFFFF) << 32) | (position << 48), 8);
        put(s.c, (std::uint64_t{level} << 16) | ((rng() & 0xFFFF) << 32) | (position << 48), 8);
        const std::uint64_t word = ((18 + rng() % 4) << 27) | 0x04000000 | (rng() & 0x03FFFFFF);
        put(s.d, (zero(rng) ? 0 : rng() & 0xFFFFFFF) | (word << 32), 8);
    }
    return s;
}

const Scans& scans() {
    static const Scans s = make_scans();
    return s;
}

// ---- the straightforward loops ----

double root(const FunctionCal& cal, double u) {
    if (cal.cal_type == CalType::T0) return u;
    double acc = 0;
    for (std::size_t k = cal.coefficients.size(); k > 0; --k) acc = acc * u + cal.coefficients[k - 1];
    return acc;
}

unsigned w16(const Image& b, std::size_t o) { return b[o] | (b[o + 1] << 8); }
std::uint32_t w32(const Image& b, std::size_t o) { return w16(b, o) | (w16(b, o + 2) << 16); }

struct Plain {
    std::vector<double> mz, drift;
    std::vector<float> intensity;
};

Plain plain_a(const Image& b, const data::DecodeParams& p) {
    Plain out;
    for (std::size_t o = 0; o < b.size(); o += 6) {
        if (w16(b, o) == 0) continue;
        const double m = b[o + 5] * 65536.0 + b[o + 4] * 256.0 + b[o + 3];
        const double r = root(p.cal, std::sqrt(std::ldexp(1.0, (b[o + 2] >> 4) - 24) * m));
        out.mz.push_back(r * r);
        out.intensity.push_back(static_cast<float>(w16(b, o)));
    }
    return out;
}

Plain plain_bc(const Image& b, const data::DecodeParams& p, bool ims) {
    Plain out;
    const int first = static_cast<int>(w16(b, 6)), last = static_cast<int>(w16(b, b.size() - 2));
    const double t_low = std::sqrt(p.mz_low) * p.tof_constant;
    const double s = (std::sqrt(p.mz_high) * p.tof_constant - t_low) / (last - first);
    for (std::size_t o = 0; o < b.size(); o += 8) {
        if (w16(b, o + 2) == 0) continue;
        const int pos = static_cast<int>(w16(b, o + 6));
        const double t =
            ims ? (pos - first) * s + t_low : (w16(b, o + 4) / 65536.0 + (pos - first)) * s + t_low;
        const double q = root(p.cal, t) / p.tof_constant;
        out.mz.push_back(q * q);
        if (ims) out.drift.push_back((w16(b, o + 4) * p.scan_time_ms) / 65536.0);
        out.intensity.push_back(static_cast<float>(w16(b, o + 2)));
    }
    return out;
}

Plain plain_d(const Image& b, const data::DecodeParams& p) {
    Plain out;
    for (std::size_t o = 0; o < b.size(); o += 8) {
        const std::uint32_t level = w32(b, o), w = w32(b, o + 4);
        if (level == 0) continue;
        const double r = root(
            p.cal, std::sqrt(std::ldexp(1.0, static_cast<int>(w >> 27)) * ((w & 0x07FFFFFF) / 134217728.0)));
        out.mz.push_back(r * r);
        out.intensity.push_back(static_cast<float>(level / 65536.0));
    }
    return out;
}

template <class T>
bool same(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0) return false;
    }
    return true;
}

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "bench_decode: %s differs from the straightforward loop\n", what);
    std::abort();
}

void check_outputs() {
    const Scans& s = scans();
    for (bool vector : {true, false}) {
        data::detail::set_vector_kernels(vector);
        const auto a = data::decode_encoding_a(s.a, s.params);
        const auto b = data::decode_encoding_b(s.b, s.params);
        const auto c = data::decode_encoding_c(s.c, s.params);
        const auto d = data::decode_encoding_d(s.d, s.params);
        require(a && b && c && d, "a decoder failed");
        const Plain pa = plain_a(s.a, s.params), pb = plain_bc(s.b, s.params, true),
                    pc = plain_bc(s.c, s.params, false), pd = plain_d(s.d, s.params);
        require(same(a->mz, pa.mz) && same(a->intensity, pa.intensity), "Encoding A");
        require(same(b->mz, pb.mz) && same(b->drift_time_ms, pb.drift) && same(b->intensity, pb.intensity),
                "Encoding B");
        require(same(c->mz, pc.mz) && same(c->intensity, pc.intensity), "Encoding C");
        require(same(d->mz, pd.mz) && same(d->intensity, pd.intensity), "Encoding D");
    }
    data::detail::set_vector_kernels(true);
}

// Argument 1: the decoders as shipped; 0: the one-record loop, for comparison.
template <class Decode>
void run(benchmark::State& state, const Image& scan, Decode decode) {
    data::detail::set_vector_kernels(state.range(0) != 0);
    for (auto _ : state) {
        auto result = decode(scan, scans().params);
        benchmark::DoNotOptimize(result);
    }
    data::detail::set_vector_kernels(true);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRecords));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(scan.size()));
}

void BM_EncodingA(benchmark::State& state) { run(state, scans().a, data::decode_encoding_a); }
void BM_EncodingB(benchmark::State& state) { run(state, scans().b, data::decode_encoding_b); }
void BM_EncodingC(benchmark::State& state) { run(state, scans().c, data::decode_encoding_c); }
void BM_EncodingD(benchmark::State& state) { run(state, scans().d, data::decode_encoding_d); }

BENCHMARK(BM_EncodingA)->Arg(1)->Arg(0);
BENCHMARK(BM_EncodingB)->Arg(1)->Arg(0);
BENCHMARK(BM_EncodingC)->Arg(1)->Arg(0);
BENCHMARK(BM_EncodingD)->Arg(1)->Arg(0);

}  // namespace

int main(int argc, char** argv) {
    check_outputs();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
