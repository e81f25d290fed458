// The centroider on arbitrary arrays: NaN and infinite m/z and intensities,
// unsorted and repeated m/z, zero, negative and huge intensities, extreme
// m/z values, and options out of range. Every output must be as long in
// m/z as in intensity, finite, strictly increasing, within the range of the
// input's finite m/z values, with finite positive intensities, and the same
// when the spectrum is centroided again by the same centroider.
//
// Input: one byte of choices, then the samples. Bit 4 of the choices picks
// the form of the samples:
//  - raw: 12 bytes each, a double m/z and a float intensity, bits as given;
//  - grid: 3 bytes each on a time-of-flight-like grid from m/z 100 + the
//    first 2 bytes: a step of 0 to 255 grid positions (0 repeats the
//    m/z), then a 2-byte count (realistic stretches, valleys and gaps).
#include <bit>
#include <cmath>
#include <string>
#include <string_view>
#include <limits>
#include <vector>

#include "common.h"
#include "kestrune/centroid.h"

using namespace kestrune;

namespace {

[[noreturn]] void fault_at(std::string_view what, std::size_t i) { fuzz::fault(what, std::to_string(i)); }

void check(const std::vector<double>& in_mz, const std::vector<double>& mz, const std::vector<float>& intensity) {
    if (mz.size() != intensity.size()) fuzz::fault("m/z and intensity counts differ");
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const double m : in_mz) {
        if (!std::isfinite(m)) continue;
        lo = std::min(lo, m);
        hi = std::max(hi, m);
    }
    for (std::size_t i = 0; i < mz.size(); ++i) {
        if (!std::isfinite(mz[i])) fault_at("m/z not finite", i);
        if (mz[i] < lo || mz[i] > hi) fault_at("m/z outside the input's range", i);
        if (i > 0 && !(mz[i] > mz[i - 1])) fault_at("m/z not strictly increasing", i);
        if (!(std::isfinite(intensity[i]) && intensity[i] > 0)) fault_at("intensity not finite and positive", i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t choices = in.u8();
    CentroidOptions options;
    static constexpr double kIon[] = {1.0, 0.0, 1e-30, std::numeric_limits<double>::quiet_NaN()};
    static constexpr double kValley[] = {3.0, 0.5, 1e6, -1.0};
    options.ion_intensity = kIon[choices & 3];
    options.valley_significance = kValley[(choices >> 2) & 3];
    options.min_peak_ions = (choices & 0x20) ? 0.0 : 2.0;

    std::vector<double> mz;
    std::vector<float> intensity;
    if (choices & 0x10) {
        const double base = 100.0 + in.u16();
        double position = 0;
        for (Bytes rest = in.rest(); rest.size() >= 3; rest = in.rest()) {
            position += in.u8();
            const double root = std::sqrt(base) + position * 1e-4;
            mz.push_back(root * root);
            intensity.push_back(static_cast<float>(in.u16()));
        }
    } else {
        for (Bytes rest = in.rest(); rest.size() >= 12; rest = in.rest()) {
            mz.push_back(in.f64());
            intensity.push_back(std::bit_cast<float>(in.u32()));
        }
    }

    Centroider centroider(options);
    std::vector<double> out_mz;
    std::vector<float> out_intensity;
    centroider.centroid(mz, intensity, out_mz, out_intensity);
    check(mz, out_mz, out_intensity);
    const std::vector<double> first_mz = out_mz;
    const std::vector<float> first_intensity = out_intensity;
    centroider.centroid(mz, intensity, out_mz, out_intensity);
    if (out_mz != first_mz || out_intensity != first_intensity) fuzz::fault("a second run differs");
    return 0;
}
