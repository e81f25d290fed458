#include "raw/data.h"
#include "text.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <optional>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#define KESTRUNE_AVX2_KERNELS 1
#include <immintrin.h>
#endif

// Layout of the decoders: the records of a scan are decoded into output
// arrays sized for every record, a record with zero intensity is written but
// not counted (the next kept record overwrites it), and the arrays are cut to
// the kept count at the end. The calibration is chosen once per scan as a
// type, so the polynomial of a known small coefficient count is unrolled.
// On processors with AVX2 four records go through the arithmetic at a time;
// every operation there (conversion, add, mul, div, sqrt) is exactly rounded
// and applied in the same order as in the one-record loop, so both give the
// same bits.

namespace kestrune::raw::data {

namespace {

constexpr double kFraction16 = 0x1p-16;
constexpr double kFraction27 = 0x1p-27;
constexpr std::size_t kNoRecord = std::numeric_limits<std::size_t>::max();

// 2^(n - 24) for the exponent nibble n of an Encoding A record.
constexpr std::array<double, 16> kScaleA = [] {
    std::array<double, 16> table{};
    for (unsigned n = 0; n < table.size(); ++n) table[n] = 0x1p-24 * static_cast<double>(1u << n);
    return table;
}();

// 2^E for the exponent field E of an Encoding D position word.
constexpr std::array<double, 32> kScaleD = [] {
    std::array<double, 32> table{};
    for (unsigned e = 0; e < table.size(); ++e) table[e] = static_cast<double>(std::uint64_t{1} << e);
    return table;
}();

inline std::uint16_t u16_at(const std::uint8_t* p) noexcept {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t u32_at(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// ---------------------------------------------------------------------------
// Calibration roots as types: r(u) = u, or the polynomial by Horner's rule
// from an accumulator of 0, last coefficient first.

struct Identity {
    double operator()(double u) const noexcept { return u; }
};

template <std::size_t N>
struct FixedPoly {
    std::array<double, N> c;
    double operator()(double u) const noexcept {
        double acc = 0.0;
        for (std::size_t k = N; k-- > 0;) acc = acc * u + c[k];
        return acc;
    }
};

struct AnyPoly {
    const double* c;
    std::size_t n;
    double operator()(double u) const noexcept {
        double acc = 0.0;
        for (std::size_t k = n; k-- > 0;) acc = acc * u + c[k];
        return acc;
    }
};

template <std::size_t N>
FixedPoly<N> fixed_poly(const std::vector<double>& c) noexcept {
    FixedPoly<N> poly;
    for (std::size_t k = 0; k < N; ++k) poly.c[k] = c[k];
    return poly;
}

// Calls f with the calibration root of `cal` as a value of its own type.
template <class F>
auto with_calibration(const FunctionCal& cal, F&& f) {
    if (cal.cal_type != CalType::T1) return f(Identity{});
    const std::vector<double>& c = cal.coefficients;
    switch (c.size()) {
        case 1:
            return f(fixed_poly<1>(c));
        case 2:
            return f(fixed_poly<2>(c));
        case 3:
            return f(fixed_poly<3>(c));
        case 4:
            return f(fixed_poly<4>(c));
        case 5:
            return f(fixed_poly<5>(c));
        case 6:
            return f(fixed_poly<6>(c));
        default:
            return f(AnyPoly{c.data(), c.size()});
    }
}

// ---------------------------------------------------------------------------
// Flight-time axis of Encodings B and C.

struct FlightAxis {
    double p_first;
    double slope;
    double t_low;
    double tof;
};

FlightAxis flight_axis(const DecodeParams& params, std::uint16_t p_first, std::uint16_t p_last) noexcept {
    const double t_low = std::sqrt(params.mz_low) * params.tof_constant;
    const double t_high = std::sqrt(params.mz_high) * params.tof_constant;
    const double slope = (t_high - t_low) / static_cast<double>(p_last - p_first);
    return {static_cast<double>(p_first), slope, t_low, params.tof_constant};
}

// The flight-time axis of an Encoding B or C scan, anchored at the integer
// positions of its first and last records; nothing when the scan is too
// short or the anchors do not rise (an empty result, not an error).
Result<std::optional<FlightAxis>> anchored_axis(Bytes bytes, const DecodeParams& params, char encoding) {
    const std::size_t size = bytes.size();
    if (size == 0) return std::nullopt;
    if (size % 8 != 0)
        return parse_error(fmt::format("Encoding {}: scan size {} is not a multiple of 8", encoding, size));
    if (size < 16) return std::nullopt;
    const std::uint16_t p_first = read_u16le(bytes, 6);
    const std::uint16_t p_last = read_u16le(bytes, size - 2);
    if (p_first >= p_last) return std::nullopt;
    return flight_axis(params, p_first, p_last);
}

// ---------------------------------------------------------------------------
// One record at a time. Each takes records [begin, end), writes at k and
// returns the new k; A and D stop at the first invalid record with nonzero
// intensity and name it in `bad`.

struct PeakOut {
    double* mz;
    float* intensity;
};

struct ImsPeakOut {
    double* mz;
    double* drift;
    float* intensity;
};

template <class Cal>
std::size_t records_a(const std::uint8_t* p, std::size_t begin, std::size_t end, const Cal& cal, PeakOut out,
                      std::size_t k, std::size_t& bad) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint8_t* r = p + 6 * i;
        const unsigned count = u16_at(r);
        if (count != 0 && ((r[2] & 0x0F) != 0 || (r[5] & 0x80) == 0)) {
            bad = i;
            return k;
        }
        const unsigned mantissa = (unsigned{r[5]} << 16) | (unsigned{r[4]} << 8) | r[3];
        const double u = std::sqrt(kScaleA[r[2] >> 4] * static_cast<double>(mantissa));
        const double root = cal(u);
        out.mz[k] = root * root;
        out.intensity[k] = static_cast<float>(count);
        k += count != 0;
    }
    return k;
}

template <class Cal>
std::size_t records_c(const std::uint8_t* p, std::size_t begin, std::size_t end, const Cal& cal,
                      const FlightAxis& axis, PeakOut out, std::size_t k) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint8_t* r = p + 8 * i;
        const unsigned count = u16_at(r + 2);
        const double fraction = static_cast<double>(u16_at(r + 4));
        const double position = static_cast<double>(u16_at(r + 6));
        const double t = (fraction * kFraction16 + (position - axis.p_first)) * axis.slope + axis.t_low;
        const double q = cal(t) / axis.tof;
        out.mz[k] = q * q;
        out.intensity[k] = static_cast<float>(count);
        k += count != 0;
    }
    return k;
}

template <class Cal>
std::size_t records_b(const std::uint8_t* p, std::size_t begin, std::size_t end, const Cal& cal,
                      const FlightAxis& axis, double scan_time_ms, ImsPeakOut out, std::size_t k) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint8_t* r = p + 8 * i;
        const unsigned count = u16_at(r + 2);
        const double drift = static_cast<double>(u16_at(r + 4));
        const double position = static_cast<double>(u16_at(r + 6));
        const double t = (position - axis.p_first) * axis.slope + axis.t_low;
        const double q = cal(t) / axis.tof;
        out.mz[k] = q * q;
        out.drift[k] = (drift * scan_time_ms) * kFraction16;
        out.intensity[k] = static_cast<float>(count);
        k += count != 0;
    }
    return k;
}

template <class Cal>
std::size_t records_d(const std::uint8_t* p, std::size_t begin, std::size_t end, const Cal& cal, PeakOut out,
                      std::size_t k, std::size_t& bad) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint8_t* r = p + 8 * i;
        const std::uint32_t level = u32_at(r);
        const std::uint32_t word = u32_at(r + 4);
        if (level != 0 && (word & 0x04000000u) == 0) {
            bad = i;
            return k;
        }
        const double mantissa = static_cast<double>(word & 0x07FFFFFFu) * kFraction27;
        const double u = std::sqrt(kScaleD[word >> 27] * mantissa);
        const double root = cal(u);
        out.mz[k] = root * root;
        out.intensity[k] = static_cast<float>(static_cast<double>(level) * kFraction16);
        k += level != 0;
    }
    return k;
}

// ---------------------------------------------------------------------------
// Four records at a time with AVX2.

#if KESTRUNE_AVX2_KERNELS
// clang ignores the GCC target pragma; it takes the same target as an attribute.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

struct VecIdentity {
    explicit VecIdentity(Identity) noexcept {}
    __m256d operator()(__m256d u) const noexcept { return u; }
};

template <std::size_t N>
struct VecFixedPoly {
    __m256d c[N];
    explicit VecFixedPoly(const FixedPoly<N>& poly) noexcept {
        for (std::size_t k = 0; k < N; ++k) c[k] = _mm256_set1_pd(poly.c[k]);
    }
    __m256d operator()(__m256d u) const noexcept {
        __m256d acc = _mm256_setzero_pd();
        for (std::size_t k = N; k-- > 0;) acc = _mm256_add_pd(_mm256_mul_pd(acc, u), c[k]);
        return acc;
    }
};

struct VecAnyPoly {
    const double* c;
    std::size_t n;
    explicit VecAnyPoly(const AnyPoly& poly) noexcept : c(poly.c), n(poly.n) {}
    __m256d operator()(__m256d u) const noexcept {
        __m256d acc = _mm256_setzero_pd();
        for (std::size_t k = n; k-- > 0;) acc = _mm256_add_pd(_mm256_mul_pd(acc, u), _mm256_set1_pd(c[k]));
        return acc;
    }
};

inline VecIdentity vector_form(Identity cal) noexcept { return VecIdentity(cal); }
template <std::size_t N>
VecFixedPoly<N> vector_form(const FixedPoly<N>& cal) noexcept {
    return VecFixedPoly<N>(cal);
}
inline VecAnyPoly vector_form(const AnyPoly& cal) noexcept { return VecAnyPoly(cal); }

// Permutations moving the kept lanes (mask bits) to the front: as 32-bit
// lane indices for four doubles, and as indices for four floats.
constexpr std::array<std::array<std::int32_t, 8>, 16> kPackDoubles = [] {
    std::array<std::array<std::int32_t, 8>, 16> table{};
    for (int mask = 0; mask < 16; ++mask) {
        int j = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((mask >> lane) & 1) {
                table[mask][2 * j] = 2 * lane;
                table[mask][2 * j + 1] = 2 * lane + 1;
                ++j;
            }
        }
    }
    return table;
}();

constexpr std::array<std::array<std::int32_t, 4>, 16> kPackFloats = [] {
    std::array<std::array<std::int32_t, 4>, 16> table{};
    for (int mask = 0; mask < 16; ++mask) {
        int j = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((mask >> lane) & 1) table[mask][j++] = lane;
        }
    }
    return table;
}();

inline __m256d pack(__m256d v, int mask) noexcept {
    const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kPackDoubles[mask].data()));
    return _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(v), index));
}

inline __m128 pack(__m128 v, int mask) noexcept {
    const __m128i index = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPackFloats[mask].data()));
    return _mm_permutevar_ps(v, index);
}

// 64-bit lanes below 2^52 to doubles, exactly: 2^52 + v has v as its low
// mantissa bits.
inline __m256d small_to_double(__m256i v) noexcept {
    const __m256i magic = _mm256_set1_epi64x(0x4330000000000000);
    return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(v, magic)), _mm256_castsi256_pd(magic));
}

// Mask bit per lane: the 64-bit lane is nonzero.
inline int nonzero_lanes(__m256i v) noexcept {
    const __m256i zero = _mm256_cmpeq_epi64(v, _mm256_setzero_si256());
    return ~_mm256_movemask_pd(_mm256_castsi256_pd(zero)) & 0xF;
}

inline __m256i load4(const std::uint8_t* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The value M * 2^(n - 24) of a valid Encoding A word (bit 23 of M set) is
// 2^(n - 1) * 1.m: built directly from its bits.
template <class Cal>
std::size_t kernel_a(const std::uint8_t* p, std::size_t n, const Cal& cal, PeakOut out,
                     std::size_t& bad) noexcept {
    const auto vcal = vector_form(cal);
    // Records 0 and 1 of a 16-byte half, each spread into a 64-bit lane:
    // count in bits 0-15, byte 2 in bits 16-23, M in bits 24-47.
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, -1, -1, 6, 7, 8, 9, 10, 11, -1, -1,  //
                                            0, 1, 2, 3, 4, 5, -1, -1, 6, 7, 8, 9, 10, 11, -1, -1);
    const __m256i low16 = _mm256_set1_epi64x(0xFFFF);
    const __m256i check_bits = _mm256_set1_epi64x(0x0F0000 | (std::int64_t{1} << 47));
    const __m256i lead_bit = _mm256_set1_epi64x(std::int64_t{1} << 47);
    const __m256i nibble = _mm256_set1_epi64x(0xF);
    const __m256i bias = _mm256_set1_epi64x(1022);
    const __m256i fraction_bits = _mm256_set1_epi64x(0x7FFFFF);
    std::size_t k = 0;
    std::size_t i = 0;
    // The second 16-byte load of a group reads up to byte 6 * i + 28.
    for (; i + 5 <= n; i += 4) {
        const std::uint8_t* r = p + 6 * i;
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + 12));
        const __m256i v =
            _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1), spread);
        const __m256i count = _mm256_and_si256(v, low16);
        const int keep = nonzero_lanes(count);
        const __m256i good = _mm256_cmpeq_epi64(_mm256_and_si256(v, check_bits), lead_bit);
        const int invalid = keep & ~_mm256_movemask_pd(_mm256_castsi256_pd(good));
        if (invalid != 0) [[unlikely]] {
            bad = i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(invalid)));
            return k;
        }
        const __m256i exponent = _mm256_add_epi64(_mm256_and_si256(_mm256_srli_epi64(v, 20), nibble), bias);
        const __m256i fraction = _mm256_and_si256(_mm256_srli_epi64(v, 24), fraction_bits);
        const __m256i bits =
            _mm256_or_si256(_mm256_slli_epi64(exponent, 52), _mm256_slli_epi64(fraction, 29));
        const __m256d root = vcal(_mm256_sqrt_pd(_mm256_castsi256_pd(bits)));
        _mm256_storeu_pd(out.mz + k, pack(_mm256_mul_pd(root, root), keep));
        _mm_storeu_ps(out.intensity + k, pack(_mm256_cvtpd_ps(small_to_double(count)), keep));
        k += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(keep)));
    }
    return records_a(p, i, n, cal, out, k, bad);
}

template <class Cal>
std::size_t kernel_c(const std::uint8_t* p, std::size_t n, const Cal& cal, const FlightAxis& axis,
                     PeakOut out) noexcept {
    const auto vcal = vector_form(cal);
    const __m256i low16 = _mm256_set1_epi64x(0xFFFF);
    const __m256d p_first = _mm256_set1_pd(axis.p_first);
    const __m256d slope = _mm256_set1_pd(axis.slope);
    const __m256d t_low = _mm256_set1_pd(axis.t_low);
    const __m256d tof = _mm256_set1_pd(axis.tof);
    const __m256d fraction16 = _mm256_set1_pd(kFraction16);
    std::size_t k = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i v = load4(p + 8 * i);
        const __m256i count = _mm256_and_si256(_mm256_srli_epi64(v, 16), low16);
        const __m256d fraction = small_to_double(_mm256_and_si256(_mm256_srli_epi64(v, 32), low16));
        const __m256d position = small_to_double(_mm256_srli_epi64(v, 48));
        const int keep = nonzero_lanes(count);
        __m256d t = _mm256_add_pd(_mm256_mul_pd(fraction, fraction16), _mm256_sub_pd(position, p_first));
        t = _mm256_add_pd(_mm256_mul_pd(t, slope), t_low);
        const __m256d q = _mm256_div_pd(vcal(t), tof);
        _mm256_storeu_pd(out.mz + k, pack(_mm256_mul_pd(q, q), keep));
        _mm_storeu_ps(out.intensity + k, pack(_mm256_cvtpd_ps(small_to_double(count)), keep));
        k += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(keep)));
    }
    return records_c(p, i, n, cal, axis, out, k);
}

template <class Cal>
std::size_t kernel_b(const std::uint8_t* p, std::size_t n, const Cal& cal, const FlightAxis& axis,
                     double scan_time_ms, ImsPeakOut out) noexcept {
    const auto vcal = vector_form(cal);
    const __m256i low16 = _mm256_set1_epi64x(0xFFFF);
    const __m256d p_first = _mm256_set1_pd(axis.p_first);
    const __m256d slope = _mm256_set1_pd(axis.slope);
    const __m256d t_low = _mm256_set1_pd(axis.t_low);
    const __m256d tof = _mm256_set1_pd(axis.tof);
    const __m256d scan_time = _mm256_set1_pd(scan_time_ms);
    const __m256d fraction16 = _mm256_set1_pd(kFraction16);
    std::size_t k = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i v = load4(p + 8 * i);
        const __m256i count = _mm256_and_si256(_mm256_srli_epi64(v, 16), low16);
        const __m256d drift = small_to_double(_mm256_and_si256(_mm256_srli_epi64(v, 32), low16));
        const __m256d position = small_to_double(_mm256_srli_epi64(v, 48));
        const int keep = nonzero_lanes(count);
        const __m256d t = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(position, p_first), slope), t_low);
        const __m256d q = _mm256_div_pd(vcal(t), tof);
        _mm256_storeu_pd(out.mz + k, pack(_mm256_mul_pd(q, q), keep));
        _mm256_storeu_pd(out.drift + k,
                         pack(_mm256_mul_pd(_mm256_mul_pd(drift, scan_time), fraction16), keep));
        _mm_storeu_ps(out.intensity + k, pack(_mm256_cvtpd_ps(small_to_double(count)), keep));
        k += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(keep)));
    }
    return records_b(p, i, n, cal, axis, scan_time_ms, out, k);
}

// A valid Encoding D word (bit 26 set) has the value 2^(E - 1) * 1.m: built
// directly from its bits.
template <class Cal>
std::size_t kernel_d(const std::uint8_t* p, std::size_t n, const Cal& cal, PeakOut out,
                     std::size_t& bad) noexcept {
    const auto vcal = vector_form(cal);
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i lead_bit = _mm256_set1_epi64x(std::int64_t{1} << 58);
    const __m256i bias = _mm256_set1_epi64x(1022);
    const __m256i fraction_bits = _mm256_set1_epi64x(0x03FFFFFF);
    const __m256d fraction16 = _mm256_set1_pd(kFraction16);
    std::size_t k = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i v = load4(p + 8 * i);
        const __m256i level = _mm256_and_si256(v, low32);
        const int keep = nonzero_lanes(level);
        const __m256i lacking = _mm256_cmpeq_epi64(_mm256_and_si256(v, lead_bit), _mm256_setzero_si256());
        const int invalid = keep & _mm256_movemask_pd(_mm256_castsi256_pd(lacking));
        if (invalid != 0) [[unlikely]] {
            bad = i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(invalid)));
            return k;
        }
        const __m256i exponent = _mm256_add_epi64(_mm256_srli_epi64(v, 59), bias);
        const __m256i fraction = _mm256_and_si256(_mm256_srli_epi64(v, 32), fraction_bits);
        const __m256i bits =
            _mm256_or_si256(_mm256_slli_epi64(exponent, 52), _mm256_slli_epi64(fraction, 26));
        const __m256d root = vcal(_mm256_sqrt_pd(_mm256_castsi256_pd(bits)));
        _mm256_storeu_pd(out.mz + k, pack(_mm256_mul_pd(root, root), keep));
        const __m256d intensity = _mm256_mul_pd(small_to_double(level), fraction16);
        _mm_storeu_ps(out.intensity + k, pack(_mm256_cvtpd_ps(intensity), keep));
        k += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(keep)));
    }
    return records_d(p, i, n, cal, out, k, bad);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool cpu_has_avx2() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#else
bool cpu_has_avx2() noexcept { return false; }
#endif

std::atomic<bool> g_vector_kernels{true};

bool use_vector_kernels() noexcept {
    return cpu_has_avx2() && g_vector_kernels.load(std::memory_order_relaxed);
}

template <class Cal>
std::size_t decode_all_a(const std::uint8_t* p, std::size_t n, const Cal& cal, PeakOut out, std::size_t& bad) noexcept {
#if KESTRUNE_AVX2_KERNELS
    if (use_vector_kernels()) return kernel_a(p, n, cal, out, bad);
#endif
    return records_a(p, 0, n, cal, out, 0, bad);
}

template <class Cal>
std::size_t decode_all_c(const std::uint8_t* p, std::size_t n, const Cal& cal, const FlightAxis& axis,
                  PeakOut out) noexcept {
#if KESTRUNE_AVX2_KERNELS
    if (use_vector_kernels()) return kernel_c(p, n, cal, axis, out);
#endif
    return records_c(p, 0, n, cal, axis, out, 0);
}

template <class Cal>
std::size_t decode_all_b(const std::uint8_t* p, std::size_t n, const Cal& cal, const FlightAxis& axis,
                  double scan_time_ms, ImsPeakOut out) noexcept {
#if KESTRUNE_AVX2_KERNELS
    if (use_vector_kernels()) return kernel_b(p, n, cal, axis, scan_time_ms, out);
#endif
    return records_b(p, 0, n, cal, axis, scan_time_ms, out, 0);
}

template <class Cal>
std::size_t decode_all_d(const std::uint8_t* p, std::size_t n, const Cal& cal, PeakOut out, std::size_t& bad) noexcept {
#if KESTRUNE_AVX2_KERNELS
    if (use_vector_kernels()) return kernel_d(p, n, cal, out, bad);
#endif
    return records_d(p, 0, n, cal, out, 0, bad);
}

}  // namespace

double calibrate(const FunctionCal& cal, double u) noexcept {
    if (cal.cal_type != CalType::T1) return u;
    return AnyPoly{cal.coefficients.data(), cal.coefficients.size()}(u);
}

namespace {

using Peaks = std::size_t;

Result<Peaks> decode_a_into(Bytes bytes, const DecodeParams& params, std::vector<double>& mz,
                            std::vector<float>& intensity) {
    const std::size_t size = bytes.size();
    if (size % 6 != 0)
        return parse_error(fmt::format("Encoding A: scan size {} is not a multiple of 6", size));
    const std::size_t n = size / 6;
    mz.resize(n);
    intensity.resize(n);
    const PeakOut out{mz.data(), intensity.data()};
    std::size_t bad = kNoRecord;
    const std::size_t k =
        with_calibration(params.cal, [&](const auto& cal) { return decode_all_a(bytes.data(), n, cal, out, bad); });
    if (bad != kNoRecord) {
        const Bytes r = bytes.subspan(6 * bad, 6);
        return parse_error(fmt::format("Encoding A: unsupported m/z word {:02x} {:02x} {:02x} {:02x}", r[2],
                                       r[3], r[4], r[5]));
    }
    return k;
}

Result<Peaks> decode_c_into(Bytes bytes, const DecodeParams& params, std::vector<double>& mz,
                            std::vector<float>& intensity) {
    auto anchored = anchored_axis(bytes, params, 'C');
    if (!anchored) return fail(std::move(anchored.error()));
    if (!*anchored) return Peaks{0};
    const FlightAxis axis = **anchored;

    // The first and last records are decoded too, so every record may give
    // an entry.
    const std::size_t n = bytes.size() / 8;
    mz.resize(n);
    intensity.resize(n);
    const PeakOut out{mz.data(), intensity.data()};
    return with_calibration(params.cal, [&](const auto& cal) { return decode_all_c(bytes.data(), n, cal, axis, out); });
}

Result<Peaks> decode_b_into(Bytes bytes, const DecodeParams& params, std::vector<double>& mz,
                            std::vector<double>& drift_time_ms, std::vector<float>& intensity) {
    auto anchored = anchored_axis(bytes, params, 'B');
    if (!anchored) return fail(std::move(anchored.error()));
    if (!*anchored) return Peaks{0};
    const FlightAxis axis = **anchored;

    const std::size_t n = bytes.size() / 8;
    mz.resize(n);
    drift_time_ms.resize(n);
    intensity.resize(n);
    const ImsPeakOut out{mz.data(), drift_time_ms.data(), intensity.data()};
    return with_calibration(params.cal, [&](const auto& cal) {
        return decode_all_b(bytes.data(), n, cal, axis, params.scan_time_ms, out);
    });
}

Result<Peaks> decode_d_into(Bytes bytes, const DecodeParams& params, std::vector<double>& mz,
                            std::vector<float>& intensity) {
    const std::size_t size = bytes.size();
    if (size % 8 != 0)
        return parse_error(fmt::format("Encoding D: scan size {} is not a multiple of 8", size));
    const std::size_t n = size / 8;
    mz.resize(n);
    intensity.resize(n);
    const PeakOut out{mz.data(), intensity.data()};
    std::size_t bad = kNoRecord;
    const std::size_t k =
        with_calibration(params.cal, [&](const auto& cal) { return decode_all_d(bytes.data(), n, cal, out, bad); });
    if (bad != kNoRecord) {
        const std::uint32_t word = read_u32le(bytes.subspan(8 * bad, 8), 4);
        return parse_error(
            fmt::format("Encoding D: position word {:#010x} lacks the leading mantissa bit", word));
    }
    return k;
}

// A Spectrum from one of the one-dimensional decoders, cut to its peaks.
template <class Decode>
Result<Spectrum> spectrum_of(Decode decode, Bytes bytes, const DecodeParams& params) {
    Spectrum s;
    auto k = decode(bytes, params, s.mz, s.intensity);
    if (!k) return fail(std::move(k.error()));
    s.mz.resize(*k);
    s.intensity.resize(*k);
    return s;
}

}  // namespace

Result<Spectrum> decode_encoding_a(Bytes bytes, const DecodeParams& params) {
    return spectrum_of(decode_a_into, bytes, params);
}

Result<Spectrum> decode_encoding_c(Bytes bytes, const DecodeParams& params) {
    return spectrum_of(decode_c_into, bytes, params);
}

Result<Spectrum> decode_encoding_d(Bytes bytes, const DecodeParams& params) {
    return spectrum_of(decode_d_into, bytes, params);
}

Result<ImsSpectrum> decode_encoding_b(Bytes bytes, const DecodeParams& params) {
    ImsSpectrum s;
    auto k = decode_b_into(bytes, params, s.mz, s.drift_time_ms, s.intensity);
    if (!k) return fail(std::move(k.error()));
    s.mz.resize(*k);
    s.drift_time_ms.resize(*k);
    s.intensity.resize(*k);
    return s;
}

Result<std::size_t> decode_into(Encoding encoding, Bytes bytes, const DecodeParams& params, ScanArrays out) {
    Result<Peaks> k = Peaks{0};
    switch (encoding) {
        case Encoding::A: k = decode_a_into(bytes, params, out.mz, out.intensity); break;
        case Encoding::B: k = decode_b_into(bytes, params, out.mz, out.drift_time_ms, out.intensity); break;
        case Encoding::C: k = decode_c_into(bytes, params, out.mz, out.intensity); break;
        case Encoding::D: k = decode_d_into(bytes, params, out.mz, out.intensity); break;
    }
    if (!k) return fail(std::move(k.error()));
    out.mz.resize(*k);
    out.intensity.resize(*k);
    out.drift_time_ms.resize(encoding == Encoding::B ? *k : 0);
    return *k;
}

bool is_synapt(std::string_view instrument) {
    const std::string upper = text::ascii_upper(instrument);
    return upper.size() >= 6 && upper.starts_with("SYNAPT");
}

EncodingChoice choose_encoding(const ScanIndex& idx, std::string_view instrument, bool want_note) {
    if (idx.is_variant_b()) {
        if (is_synapt(instrument))
            return {Encoding::B, want_note ? fmt::format("30-byte index, instrument {} starts with SYNAPT",
                                                         text::quoted(instrument))
                                           : std::string()};
        return {Encoding::C, want_note ? fmt::format("30-byte index, instrument {} is not SYNAPT",
                                                     text::quoted(instrument))
                                       : std::string()};
    }
    const auto width = variant_a_record_width(idx.a());
    if (width == 8u) return {Encoding::D, want_note ? "22-byte index, 8-byte records" : ""};
    if (width == 6u) return {Encoding::A, want_note ? "22-byte index, 6-byte records" : ""};
    return {Encoding::A,
            want_note ? "22-byte index, record width not established from offsets; assuming 6-byte records" : ""};
}

std::optional<std::uint32_t> variant_a_record_width(const std::vector<ScanIndexA>& records) {
    for (std::size_t i = 1; i < records.size(); ++i) {
        const auto& prev = records[i - 1];
        const auto& cur = records[i];
        if (cur.offset <= prev.offset || prev.peak_count == 0) continue;
        const std::uint32_t d = cur.offset - prev.offset;
        if (d % prev.peak_count != 0) continue;
        const std::uint32_t q = d / prev.peak_count;
        if (q == 6 || q == 8) return q;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> index_end(const ScanIndex& idx, Encoding encoding) {
    if (!idx.is_variant_a() || idx.a().empty()) return std::nullopt;
    const std::uint64_t width = record_width(encoding);
    std::uint64_t end = 0;
    for (const auto& r : idx.a()) end = std::max(end, std::uint64_t{r.offset} + std::uint64_t{r.peak_count} * width);
    return end;
}

ScanBytes scan_bytes(const ScanIndex& idx, std::size_t scan, Encoding encoding, std::uint64_t dat_size) {
    const std::uint64_t start = idx.offset(scan);
    std::uint64_t length;
    if (idx.is_variant_b()) {
        const auto& recs = idx.b();
        const std::uint64_t next = scan + 1 < recs.size() ? std::uint64_t{recs[scan + 1].offset} : dat_size;
        length = next >= start ? next - start : 0;
    } else {
        length = std::uint64_t{idx.a()[scan].peak_count} * record_width(encoding);
    }
    const std::uint64_t available = start <= dat_size ? dat_size - start : 0;
    return {start, std::min(length, available)};
}

namespace detail {

void set_vector_kernels(bool enabled) noexcept { g_vector_kernels.store(enabled, std::memory_order_relaxed); }

bool vector_kernels() noexcept { return use_vector_kernels(); }

}  // namespace detail

}  // namespace kestrune::raw::data
