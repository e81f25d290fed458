#include "qc/metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace kestrune::qc {

double quantile_sorted(std::span<const double> sorted, double p) noexcept {
    if (sorted.empty()) return kNaN;
    const double pos = std::clamp(p, 0.0, 1.0) * double(sorted.size() - 1);
    const std::size_t lo = std::size_t(std::floor(pos));
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    const double frac = pos - double(lo);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * frac;
}

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return quantile_sorted(values, 0.5);
}

std::optional<double> sample_sd(std::span<const double> values) noexcept {
    if (values.size() < 2) return std::nullopt;
    double mean = 0;
    for (double v : values) mean += v;
    mean /= double(values.size());
    double ss = 0;
    for (double v : values) ss += (v - mean) * (v - mean);
    return std::sqrt(ss / double(values.size() - 1));
}

SignalJumps signal_jumps(std::span<const double> tic, double factor) noexcept {
    SignalJumps out;
    for (std::size_t i = 1; i < tic.size(); ++i) {
        if (tic[i] > factor * tic[i - 1]) ++out.jumps;
        if (tic[i] * factor < tic[i - 1]) ++out.falls;
    }
    return out;
}

std::optional<std::vector<double>> tic_quantile_rt_fractions(std::span<const double> rt, std::span<const double> tic,
                                                             int parts) {
    const std::size_t n = std::min(rt.size(), tic.size());
    if (n < 2 || parts < 1) return std::nullopt;
    const double total = std::accumulate(tic.begin(), tic.begin() + std::ptrdiff_t(n), 0.0);
    const double duration = rt[n - 1] - rt[0];
    if (!(total > 0) || !(duration > 0)) return std::nullopt;
    std::vector<double> out;
    double previous = rt[0], sum = 0;
    std::size_t i = 0;
    for (int k = 1; k <= parts; ++k) {
        const double target = total * double(k) / double(parts);
        while (i < n && sum + tic[i] < target) sum += tic[i++];
        const double t = i < n ? rt[i] : rt[n - 1];
        out.push_back((t - previous) / duration);
        previous = t;
    }
    return out;
}

Decimator::Decimator(std::size_t total, std::size_t max_points) {
    const std::size_t buckets = std::max<std::size_t>(1, max_points / 2);
    bucket_size_ = total <= max_points ? 1 : (total + buckets - 1) / buckets;
    out_.x.reserve(std::min(total, max_points));
    out_.y.reserve(std::min(total, max_points));
}

void Decimator::add(double x, double y) {
    if (in_bucket_ == 0 || y < min_y_) min_x_ = x, min_y_ = y, min_at_ = in_bucket_;
    if (in_bucket_ == 0 || y > max_y_) max_x_ = x, max_y_ = y, max_at_ = in_bucket_;
    if (++in_bucket_ == bucket_size_) flush();
}

void Decimator::flush() {
    if (in_bucket_ == 0) return;
    const auto push = [&](double x, double y) {
        out_.x.push_back(x);
        out_.y.push_back(y);
    };
    if (min_at_ == max_at_)
        push(min_x_, min_y_);
    else if (min_at_ < max_at_)
        push(min_x_, min_y_), push(max_x_, max_y_);
    else
        push(max_x_, max_y_), push(min_x_, min_y_);
    in_bucket_ = 0;
}

XY Decimator::finish() {
    flush();
    return std::move(out_);
}

Heatmap make_heatmap(double mz_low, double mz_high, double drift_low, double drift_high, std::size_t nx,
                     std::size_t ny) {
    return Heatmap{mz_low, mz_high, drift_low, drift_high, nx, ny, std::vector<double>(nx * ny, 0.0)};
}

void heatmap_add(Heatmap& h, double mz, double drift_ms, double intensity) noexcept {
    const auto& [mz_low, mz_high, drift_low, drift_high, nx, ny, sum] = h;
    if (nx == 0 || ny == 0 || !std::isfinite(mz) || !std::isfinite(drift_ms) || !std::isfinite(intensity)) return;
    const auto bin = [](double v, double lo, double hi, std::size_t n) {
        const double f = (v - lo) / (hi - lo) * double(n);
        if (!(f > 0)) return std::size_t{0};
        return std::min(std::size_t(f), n - 1);
    };
    h.sum[bin(drift_ms, drift_low, drift_high, ny) * nx + bin(mz, mz_low, mz_high, nx)] += intensity;
}

HeatmapBuilder::HeatmapBuilder(double mz_low, double mz_high, double drift_max, std::size_t nx, std::size_t ny)
    : fine_(make_heatmap(mz_low, mz_high, 0, drift_max, nx, kFineRows)), ny_(ny) {}

void HeatmapBuilder::add(double mz, double drift_ms, double intensity) noexcept {
    if (!std::isfinite(mz) || !std::isfinite(drift_ms) || !std::isfinite(intensity)) return;
    heatmap_add(fine_, mz, drift_ms, intensity);
    seen_low_ = std::min(seen_low_, drift_ms);
    seen_high_ = std::max(seen_high_, drift_ms);
}

Heatmap HeatmapBuilder::finish() const {
    if (!(seen_low_ <= seen_high_)) return make_heatmap(fine_.mz_low, fine_.mz_high, fine_.drift_low, fine_.drift_high,
                                                        fine_.nx, ny_);
    // The fine rows that hold the drift times seen, spread over ny rows.
    const double row = (fine_.drift_high - fine_.drift_low) / double(kFineRows);
    const auto fine_row = [&](double d) {
        const double f = (d - fine_.drift_low) / row;
        return f > 0 ? std::min(std::size_t(f), kFineRows - 1) : std::size_t{0};
    };
    const std::size_t first = fine_row(seen_low_), last = fine_row(seen_high_);
    Heatmap out = make_heatmap(fine_.mz_low, fine_.mz_high, fine_.drift_low + row * double(first),
                               fine_.drift_low + row * double(last + 1), fine_.nx, ny_);
    const std::size_t rows = last - first + 1;
    for (std::size_t r = first; r <= last; ++r) {
        const std::size_t to = std::min((r - first) * ny_ / rows, ny_ - 1);
        for (std::size_t c = 0; c < fine_.nx; ++c) out.sum[to * fine_.nx + c] += fine_.sum[r * fine_.nx + c];
    }
    return out;
}

XY spectrum_points(std::span<const double> mz, std::span<const float> intensity, std::span<const double> drift,
                   std::size_t max_points, bool& binned) {
    const struct {
        std::span<const double> mz;
        std::span<const float> intensity;
        std::span<const double> drift;
    } a{mz, intensity, drift};
    const std::size_t n = std::min(a.mz.size(), a.intensity.size());
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return a.mz[i] < a.mz[j]; });
    XY merged;
    for (std::size_t i : order) {
        if (!std::isfinite(a.mz[i])) continue;
        if (!merged.x.empty() && merged.x.back() == a.mz[i])
            merged.y.back() += double(a.intensity[i]);
        else {
            merged.x.push_back(a.mz[i]);
            merged.y.push_back(double(a.intensity[i]));
        }
    }
    binned = !a.drift.empty() && merged.size() < n;
    if (merged.size() <= max_points || max_points == 0) return merged;
    binned = true;
    const double lo = merged.x.front(), hi = merged.x.back();
    const double width = (hi - lo) / double(max_points);
    XY out;
    out.x.resize(max_points);
    out.y.assign(max_points, 0.0);
    for (std::size_t b = 0; b < max_points; ++b) out.x[b] = lo + (double(b) + 0.5) * width;
    for (std::size_t i = 0; i < merged.size(); ++i) {
        std::size_t b = width > 0 ? std::size_t((merged.x[i] - lo) / width) : 0;
        out.y[std::min(b, max_points - 1)] += merged.y[i];
    }
    return out;
}


}  // namespace kestrune::qc
