// One scan's bytes -> decode_encoding_a/b/c/d (chosen at build time by
// KESTRUNE_FUZZ_ENCODING: 0 A, 1 B, 2 C, 3 D) with decoding parameters taken
// from the front of the input:
//   u8 calibration type (bit 0: T1), u8 coefficient count (mod 9),
//   that many f64 coefficients, f64 tof_constant, f64 mz_low, f64 mz_high,
//   f64 scan_time_ms, then the scan bytes.
// Each scan is decoded with the four-record kernels and with the one-record
// loop; both must give the same result bit for bit.
#include <vector>

#include "common.h"
#include "raw/data.h"
#include "raw/data.h"

#ifndef KESTRUNE_FUZZ_ENCODING
#error "KESTRUNE_FUZZ_ENCODING must be 0 (A), 1 (B), 2 (C) or 3 (D)"
#endif

using namespace kestrune;
namespace data = raw::data;

namespace {

constexpr int kEncoding = KESTRUNE_FUZZ_ENCODING;
constexpr std::size_t kRecord = kEncoding == 0 ? 6 : 8;

data::DecodeParams params_from(fuzz::Input& in) {
    data::DecodeParams p;
    p.cal.cal_type = (in.u8() & 1) ? raw::CalType::T1 : raw::CalType::T0;
    const std::size_t n = in.u8() % 9;
    for (std::size_t k = 0; k < n; ++k) p.cal.coefficients.push_back(in.f64());
    p.tof_constant = in.f64();
    p.mz_low = in.f64();
    p.mz_high = in.f64();
    p.scan_time_ms = in.f64();
    return p;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
    }
    return true;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

auto decode(Bytes scan, const data::DecodeParams& p) {
    if constexpr (kEncoding == 0) return data::decode_encoding_a(scan, p);
    if constexpr (kEncoding == 1) return data::decode_encoding_b(scan, p);
    if constexpr (kEncoding == 2) return data::decode_encoding_c(scan, p);
    if constexpr (kEncoding == 3) return data::decode_encoding_d(scan, p);
}

template <class S>
void check_shape(const S& s, std::size_t size) {
    if (s.mz.size() != s.intensity.size()) fuzz::fault("m/z and intensity lengths differ");
    if (s.mz.size() > size / kRecord) fuzz::fault("more points than records");
    if constexpr (requires { s.drift_time_ms; })
        if (s.drift_time_ms.size() != s.mz.size()) fuzz::fault("drift time length differs");
    for (float v : s.intensity)
        if (!(v > 0)) fuzz::fault("kept point without intensity");
}

template <class S>
void compare(const S& a, const S& b) {
    if (!same_bits(a.mz, b.mz) || !same_bits(a.intensity, b.intensity)) fuzz::fault("kernels give different points");
    if constexpr (requires { a.drift_time_ms; })
        if (!same_bits(a.drift_time_ms, b.drift_time_ms)) fuzz::fault("kernels give different drift times");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::log_everything();
    fuzz::Input in(bytes, size);
    const data::DecodeParams params = params_from(in);
    const Bytes scan = in.rest();

    const bool vector_default = data::detail::vector_kernels();
    data::detail::set_vector_kernels(true);
    const auto wide = decode(scan, params);
    data::detail::set_vector_kernels(false);
    const auto narrow = decode(scan, params);
    data::detail::set_vector_kernels(vector_default);

    if (wide.has_value() != narrow.has_value()) fuzz::fault("kernels disagree on success");
    if (!fuzz::touch(wide)) {
        if (wide.error().to_string() != narrow.error().to_string()) fuzz::fault("kernels disagree on the error");
        if (scan.size() % kRecord == 0 && kEncoding != 0 && kEncoding != 3)
            fuzz::fault("encodings B and C reject only sizes");
        return 0;
    }
    if (scan.size() % kRecord != 0) fuzz::fault("a partial record was accepted");
    check_shape(*wide, scan.size());
    compare(*wide, *narrow);

    for (std::size_t i = 0; i < wide->mz.size() && i < 64; ++i) fuzz::touch(wide->mz[i]);
    return 0;
}
