#include "codec/numpress.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <libmsnumpress/MSNumpress.hpp>

namespace kestrune::codec {

namespace np = ms::numpress::MSNumpress;

namespace {

bool all_finite_non_negative(std::span<const double> values, double max) noexcept {
    return std::all_of(values.begin(), values.end(), [max](double v) { return v >= 0 && v <= max; });
}

// Runs one library encoder into the end of `out`, sized for its worst case;
// the library reports overflow by throwing.
template <class Encode>
bool append_encoded(std::vector<std::uint8_t>& out, std::size_t worst, Encode encode) {
    const std::size_t at = out.size();
    try {
        out.resize(at + worst);
        const std::size_t n = encode(out.data() + at);
        out.resize(at + n);
        return true;
    } catch (...) {
        out.resize(at);
        return false;
    }
}

}  // namespace

bool numpress_linear(std::span<const double> values, double ppm, std::vector<std::uint8_t>& out) {
    constexpr double kLargest = std::numeric_limits<double>::max();
    if (!(ppm > 0) || !all_finite_non_negative(values, kLargest)) return false;
    double smallest = kLargest;
    for (double v : values)
        if (v > 0) smallest = std::min(smallest, v);
    // Zeros (and an empty array) are exact whatever the fixed point.
    double fixed = 1;
    if (smallest != kLargest) {
        fixed = 0.5 / (ppm * 1e-6 * smallest);
        // The largest fixed point whose integers and prediction residuals fit.
        const double safe = np::optimalLinearFixedPoint(values.data(), values.size());
        if (!(std::isfinite(fixed) && fixed <= safe)) return false;
    }
    return append_encoded(out, 8 + values.size() * 5, [&](std::uint8_t* p) {
        return np::encodeLinear(values.data(), values.size(), p, fixed);
    });
}

bool numpress_pic(std::span<const double> values, std::vector<std::uint8_t>& out) {
    // The library refuses anything that does not round into an int.
    if (!all_finite_non_negative(values, double(std::numeric_limits<int>::max()) - 0.5)) return false;
    return append_encoded(out, values.size() * 5,
                          [&](std::uint8_t* p) { return np::encodePic(values.data(), values.size(), p); });
}

bool numpress_slof(std::span<const double> values, std::vector<std::uint8_t>& out) {
    // Above this, log(v + 1) × F no longer rounds within 16 bits reliably.
    if (!all_finite_non_negative(values, 1e300)) return false;
    // The library's optimalSlofFixedPoint, with one logarithm instead of
    // one per value: log is monotonic, so the largest log(v + 1) is that of
    // the largest v.
    const double largest = values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
    const double fixed = std::floor(65535.0 / std::max(1.0, std::log(largest + 1)));
    if (!(fixed >= 1)) return false;
    return append_encoded(out, 8 + values.size() * 2, [&](std::uint8_t* p) {
        return np::encodeSlof(values.data(), values.size(), p, fixed);
    });
}

}  // namespace kestrune::codec
