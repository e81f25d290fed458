// Centroiding of profile spectra (kestrune/centroid.h).
//
// The spectrum is walked once. Its samples are laid out on their sampling
// grid, a stretch at a time: a zero where one sample is missing (zero
// counts are not recorded), stray samples between the grid's joined to the
// nearer position, a stretch ended by a gap of more than gap_factor
// spacings (ReferenceSpacing says how the spacing is found). One pass over a
// stretch sums it and counts the maxima of its smoothed intensities: with
// one maximum (most stretches) the stretch is one peak. Otherwise a maximum
// stands as a peak of its own when its key valley (the higher of the lowest
// points on the way to a higher sample on either side) lies significantly
// below it given the counting noise; peaks are cut at the lowest point
// between them, measured, and their samples shared out by a fit of
// Gaussians of a common width.
#include "centroid/centroid.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrune {

CentroidOptions CentroidOptions::validated() const noexcept {
    const CentroidOptions defaults;
    CentroidOptions out = *this;
    if (!(std::isfinite(out.ion_intensity) && out.ion_intensity >= 0)) out.ion_intensity = defaults.ion_intensity;
    if (!(std::isfinite(out.valley_significance) && out.valley_significance > 0))
        out.valley_significance = defaults.valley_significance;
    if (!(std::isfinite(out.min_peak_ions) && out.min_peak_ions >= 0)) out.min_peak_ions = defaults.min_peak_ions;
    return out;
}

namespace centroid {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kPad = 4;  // zeros before and after a stretch on its grid

// Whether an intensity is a usable sample: finite and positive.
inline bool usable(float y) noexcept { return y > 0.0f && y <= FLT_MAX; }

// The smoothed intensity at j (the grid has kPad zeros on both sides).
template <Smoothing S>
inline double smooth(const double* g, std::ptrdiff_t j) noexcept {
    if constexpr (S == Smoothing::None) {
        return g[j];
    } else if constexpr (S == Smoothing::Binomial3) {
        return 0.25 * (g[j - 1] + g[j + 1]) + 0.5 * g[j];
    } else {
        return (g[j - 2] + g[j + 2] + 4.0 * (g[j - 1] + g[j + 1]) + 6.0 * g[j]) * (1.0 / 16.0);
    }
}

// One pass over a stretch: its summed intensity, the intensity-weighted sum
// of m/z - x[0], and the number of maxima of the smoothed intensities.
template <Smoothing S>
std::size_t sum_and_count(const double* x, const double* g, std::size_t L, double& sum, double& moment) noexcept {
    double s_prev = smooth<S>(g, -1), s_cur = smooth<S>(g, 0);
    const double x0 = x[0];
    std::size_t maxima = 0;
    double a = 0, b = 0;
    for (std::size_t j = 0; j < L; ++j) {
        const double s_next = smooth<S>(g, static_cast<std::ptrdiff_t>(j) + 1);
        maxima += static_cast<std::size_t>((s_cur > s_prev) & (s_cur >= s_next));
        a += g[j];
        b += g[j] * (x[j] - x0);
        s_prev = s_cur;
        s_cur = s_next;
    }
    sum = a;
    moment = b;
    return maxima;
}

// e^v for v clamped to [-40, 40] (not a number to -40), within 3e-6
// relative: a sample's share needs no more, and the clamp keeps it finite
// for any input. Branch-free (rounding by the 1.5 * 2^52 trick), so that
// loops over it vectorise.
inline double exp_clamped(double v) noexcept {
    constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
    v = v > -40.0 ? (v < 40.0 ? v : 40.0) : -40.0;
    const double t = v * 1.4426950408889634;  // log2(e)
    const double shifted = t + kShift;
    const double n = shifted - kShift;              // t rounded to an integer
    const double r = (t - n) * 0.6931471805599453;  // in [-0.347, 0.347]
    double p = 1.0 / 720;
    p = p * r + 1.0 / 120;
    p = p * r + 1.0 / 24;
    p = p * r + 1.0 / 6;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    // The low bits of `shifted` hold n + 2^51: 2^n is (n + 1023) << 52.
    const std::uint64_t k = std::bit_cast<std::uint64_t>(shifted) - std::bit_cast<std::uint64_t>(kShift);
    return p * std::bit_cast<double>((k + 1023) << 52);
}

// The intensity a stretch's samples lo..hi give their own peak (mean m/z
// mk, weight pk) and its neighbours on the left and right (present when
// L and R), in proportion to the Gaussians of common variance 1 / (2 h),
// as moments about each peak's m/z.
struct Shares {
    Moments own, left, right;
};

// The neighbour's Gaussian over the own one at samples lo..hi, times the
// neighbour's weight p: p exp(a (2 x - m_k - m_c)) with a = (m_c - m_k) h.
// Free of sums, so that the exponentials vectorise.
void neighbour_share(const double* gx, std::size_t lo, std::size_t hi, double h, double mk, double mc, double p,
                     double* q) noexcept {
    const double a = (mc - mk) * h;
    for (std::size_t i = lo; i <= hi; ++i) q[i] = p * exp_clamped(a * ((gx[i] - mk) + (gx[i] - mc)));
}

template <bool L, bool R>
Shares share_out(const double* gx, const double* gy, const double* ql, const double* qr, std::size_t lo,
                 std::size_t hi, double mk, double pk, double ml, double mr) noexcept {
    double w0 = 0, x0 = 0, xx0 = 0, w1 = 0, x1 = 0, xx1 = 0, w2 = 0, x2 = 0, xx2 = 0;
    for (std::size_t i = lo; i <= hi; ++i) {
        const double dk = gx[i] - mk;
        const double l = L ? ql[i] : 0.0, r = R ? qr[i] : 0.0;
        const double norm = gy[i] / (pk + l + r);
        const double wk = pk * norm;
        w0 += wk;
        x0 += wk * dk;
        xx0 += wk * dk * dk;
        if constexpr (L) {
            const double dl = gx[i] - ml, wl = l * norm;
            w1 += wl;
            x1 += wl * dl;
            xx1 += wl * dl * dl;
        }
        if constexpr (R) {
            const double dr = gx[i] - mr, wr = r * norm;
            w2 += wr;
            x2 += wr * dr;
            xx2 += wr * dr * dr;
        }
    }
    return Shares{{w0, x0, xx0}, {w1, x1, xx1}, {w2, x2, xx2}};
}

// The second smallest of the first `count` values (the smallest when one).
inline double second_smallest(const std::array<double, 8>& values, std::size_t count) noexcept {
    double a = kInf, b = kInf;
    for (std::size_t k = 0; k < count; ++k) {
        b = std::min(b, std::max(a, values[k]));
        a = std::min(a, values[k]);
    }
    return count > 1 ? b : a;
}

template <Smoothing S>
void smooth_all(const double* g, std::size_t L, double* s) noexcept {
    for (std::size_t j = 0; j < L; ++j) s[j] = smooth<S>(g, static_cast<std::ptrdiff_t>(j));
}

// Whether n > 0 samples need no cleaning: m/z finite and strictly
// increasing, intensities finite and positive. Branch-free, so that it
// vectorises.
bool already_clean(const double* x, const float* y, std::size_t n) noexcept {
    unsigned bad = 0;
    for (std::size_t i = 0; i + 1 < n; ++i)
        bad |= static_cast<unsigned>(!(x[i] < x[i + 1])) | static_cast<unsigned>(!(y[i] > 0.0f)) |
               static_cast<unsigned>(!(y[i] <= FLT_MAX));
    bad |= static_cast<unsigned>(!usable(y[n - 1])) | static_cast<unsigned>(!(x[0] >= -DBL_MAX)) |
           static_cast<unsigned>(!(x[n - 1] <= DBL_MAX));
    return bad == 0;
}

// The reference spacing of each spacing of a spectrum, taken in order. Where
// the spacing and those before and after it agree within 25%, the samples
// are evenly spaced and the spacing is its own reference. Elsewhere the
// reference is the dense spacing: the second smallest of the last eight
// evenly spaced spacings between samples of two ions or more, scaled with
// m/z (spacing grows at most in proportion to m/z). Lone noise hits never
// set it, one stray value does not count, and it holds across sparse
// stretches, so noise hits far apart do not chain into a stretch, and stray
// samples between the grid's (noise hits off the grid, or the samples of a
// peak sampled on a grid of its own) neither shrink it nor start grid
// positions of their own. Before any evenly spaced samples, it is the
// nearer of the spacings before and after the gap.
class ReferenceSpacing {
public:
    explicit ReferenceSpacing(double ion) noexcept : two_ions_(2.0 * ion) {}

    // The reference for the spacing d from the sample at x of intensity y to
    // the next, of intensity y_next; dp and dn are the spacings before and
    // after it (infinite at the ends).
    double at(double x, double y, double y_next, double dp, double d, double dn) noexcept {
        const double local = std::min(dp, dn);
        const double least = std::min(local, d);
        if (std::max(std::max(dp, d), dn) <= 1.25 * least) {
            // Evenly spaced: its own reference. Within a peak, every fourth
            // such spacing joins the last eight.
            if (y >= two_ions_ && y_next >= two_ions_ && (regular_count_++ & 3) == 0) {
                dense_[dense_count_++ & 7] = least / std::abs(x);
                rel_stale_ = true;
            }
            return least;
        }
        if (dense_count_ == 0) return local;
        if (rel_stale_) {
            rel_ = second_smallest(dense_, std::min<std::size_t>(dense_count_, 8));
            rel_stale_ = false;
        }
        return rel_ * std::abs(x);
    }

private:
    double two_ions_;
    std::array<double, 8> dense_{};  // the last evenly spaced spacings over their m/z
    std::size_t dense_count_ = 0, regular_count_ = 0;
    double rel_ = kInf;  // the dense spacing over its m/z
    bool rel_stale_ = false;
};

// The weight of sample i in a peak of samples lo..hi: its intensity, the end
// samples' times w_lo and w_hi (a shared valley sample counts half to each
// side).
struct PeakWeights {
    const double* gy;
    std::size_t lo, hi;
    double w_lo, w_hi;

    double operator()(std::size_t i) const noexcept { return gy[i] * (i == lo ? w_lo : i == hi ? w_hi : 1.0); }
};

// The Core estimate of a peak of weighted mean m/z `mean` and summed weight
// sw: the weighted mean m/z over a window of `sigmas` standard deviations
// either side of the estimate, moved until it stays (six times at most).
// Each sample stands for the m/z from halfway to its left neighbour to
// halfway to its right one and counts with the part of that in the window.
// The sums run about `ref`.
double core_mean(const double* gx, const PeakWeights& weight, double ref, double mean, double sw,
                 double sigmas) noexcept {
    double sxx = 0;
    for (std::size_t i = weight.lo; i <= weight.hi; ++i) sxx += weight(i) * (gx[i] - mean) * (gx[i] - mean);
    const double half = sigmas * std::sqrt(sxx / sw);
    double mu = mean;
    for (int it = 0; it < 6; ++it) {
        const double a = mu - half, b = mu + half;
        double cw = 0, cwx = 0;
        for (std::size_t i = weight.lo; i <= weight.hi; ++i) {
            const double l = i > weight.lo ? 0.5 * (gx[i - 1] + gx[i]) : gx[i] - 0.5 * (gx[i + 1] - gx[i]);
            const double r = i < weight.hi ? 0.5 * (gx[i] + gx[i + 1]) : gx[i] + 0.5 * (gx[i] - gx[i - 1]);
            const double over = std::min(r, b) - std::max(l, a);
            if (over <= 0) continue;
            const double w = weight(i) * over / (r - l);
            cw += w;
            cwx += w * (gx[i] - ref);
        }
        if (!(cw > 0)) break;
        const double next = ref + cwx / cw;
        if (next == mu) break;
        mu = next;
    }
    return mu;
}

// The m/z of the vertex of the parabola through the highest of samples
// lo..hi and its two neighbours (through the logarithms of their
// intensities when `logarithmic`: a Gaussian), held between the neighbours;
// `fallback` when there is none (the highest sample at an end, a neighbour
// of zero counts in logarithms, or a curve open upwards).
double vertex_mz(const double* gx, const double* gy, std::size_t lo, std::size_t hi, bool logarithmic,
                 double fallback) noexcept {
    std::size_t j = lo;
    for (std::size_t i = lo; i <= hi; ++i)
        if (gy[i] > gy[j]) j = i;
    if (j == lo || j == hi) return fallback;
    double y0 = gy[j - 1], y1 = gy[j], y2 = gy[j + 1];
    if (logarithmic) {
        if (!(y0 > 0 && y2 > 0)) return fallback;
        y0 = std::log(y0);
        y1 = std::log(y1);
        y2 = std::log(y2);
    }
    const double a = gx[j - 1] - gx[j], b = gx[j + 1] - gx[j];
    const double c = ((y0 - y1) / a - (y2 - y1) / b) / (a - b);
    if (!(c < 0)) return fallback;
    const double slope = (y0 - y1) / a - c * a;
    return gx[j] + std::clamp(-slope / (2 * c), a, b);
}

}  // namespace

Engine::Engine(const CentroidOptions& options, const Tuning& tuning)
    : options_(options.validated()), tuning_(tuning) {
    switch (tuning_.smoothing) {
        case Smoothing::None: kernel_var_ = 1.0; break;
        case Smoothing::Binomial3: kernel_var_ = 6.0 / 16.0; break;
        case Smoothing::Binomial5: kernel_var_ = 70.0 / 256.0; break;
    }
    if (!(tuning_.gap_factor >= 1.0 && tuning_.gap_factor <= 16.0)) tuning_.gap_factor = Tuning{}.gap_factor;
    if (tuning_.unmix_rounds < 1) tuning_.unmix_rounds = 1;
    max_missing_ = static_cast<std::size_t>(tuning_.gap_factor - 1.0);
    max_span_ = static_cast<double>(max_missing_) + 1.5;
}

// Points the engine at a sorted spectrum of distinct finite m/z values and
// positive finite intensities: the caller's arrays when they are one
// already (checked in one pass), else a cleaned copy.
void Engine::prepare(std::span<const double> mz, std::span<const float> intensity) {
    const std::size_t n = std::min(mz.size(), intensity.size());
    n_ = 0;
    y_min_ = 0;
    if (n == 0) return;
    if (already_clean(mz.data(), intensity.data(), n)) {
        x_ = mz.data();
        y_ = intensity.data();
        n_ = n;
    } else {
        clean_copy(mz.data(), intensity.data(), n);
        x_ = clean_x_.data();
        y_ = clean_y_.data();
        n_ = clean_x_.size();
    }
    if (options_.ion_intensity == 0 && n_ > 0) y_min_ = *std::min_element(y_, y_ + n_);
}

// The n samples cleaned into clean_x_ and clean_y_: the unusable ones left
// out, the rest sorted by m/z, and equal m/z values made one sample.
void Engine::clean_copy(const double* x, const float* y, std::size_t n) {
    clean_x_.clear();
    clean_y_.clear();
    bool sorted = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i]) || !usable(y[i])) continue;
        sorted = sorted && (clean_x_.empty() || clean_x_.back() <= x[i]);
        clean_x_.push_back(x[i]);
        clean_y_.push_back(y[i]);
    }
    if (!sorted) sort_clean();
    std::size_t w = 0;
    for (std::size_t i = 0; i < clean_x_.size(); ++i) {
        if (w > 0 && clean_x_[w - 1] == clean_x_[i]) {
            const double sum = static_cast<double>(clean_y_[w - 1]) + clean_y_[i];
            clean_y_[w - 1] = static_cast<float>(std::min(sum, static_cast<double>(FLT_MAX)));
        } else {
            clean_x_[w] = clean_x_[i];
            clean_y_[w] = clean_y_[i];
            ++w;
        }
    }
    clean_x_.resize(w);
    clean_y_.resize(w);
}

// Sorts clean_x_ and clean_y_ by m/z.
void Engine::sort_clean() {
    const std::size_t m = clean_x_.size();
    order_.resize(m);
    for (std::size_t i = 0; i < m; ++i) order_[i] = i;
    std::sort(order_.begin(), order_.end(), [this](std::size_t a, std::size_t b) { return clean_x_[a] < clean_x_[b]; });
    // Permute through the grid buffers, free at this point.
    gx_.resize(std::max(gx_.size(), m));
    gy_.resize(std::max(gy_.size(), m));
    for (std::size_t i = 0; i < m; ++i) {
        gx_[i] = clean_x_[order_[i]];
        gy_[i] = clean_y_[order_[i]];
    }
    for (std::size_t i = 0; i < m; ++i) {
        clean_x_[i] = gx_[i];
        clean_y_[i] = static_cast<float>(gy_[i]);
    }
    std::fill(gy_.begin(), gy_.end(), 0.0);  // the grid's leading zeros
}

void Engine::grow(std::size_t size) {
    const std::size_t want = std::max(size, 2 * gx_.size());
    gx_.resize(want);
    gy_.resize(want, 0.0);
}

void Engine::run(std::span<const double> mz, std::span<const float> intensity, std::vector<double>& out_mz,
                 std::vector<float>& out_intensity) {
    out_mz.clear();
    out_intensity.clear();
    out_mz_ = &out_mz;
    out_intensity_ = &out_intensity;
    prepare(mz, intensity);
    ion_ = options_.ion_intensity > 0 ? options_.ion_intensity : (y_min_ > 0 ? y_min_ : 1.0);
    min_sum_ = options_.min_peak_ions * ion_;
    noise2_ = options_.valley_significance * options_.valley_significance * kernel_var_ * ion_;
    if (n_ <= 1) {
        if (n_ == 1) emit(x_[0], y_[0], x_[0], x_[0]);
        return;
    }
    lay_out();
}

// Lays the n_ > 1 samples out on the grid of a stretch, a stretch at a time:
// a sample one reference spacing after the first sample of the current grid
// position takes the next position, one less than half a spacing after it
// joins that position (a stray sample between the grid's, such as a noise
// hit off the grid), one two spacings after it leaves a zero between (a
// sample of zero counts is not recorded). A spacing of more than gap_factor
// reference spacings (ReferenceSpacing says which) ends the stretch.
void Engine::lay_out() {
    const double* x = x_;
    const float* y = y_;
    const std::size_t n = n_;
    if (gx_.size() < 64) grow(64);
    ReferenceSpacing reference(ion_);
    auto spacing = [x](std::size_t k) { return x[k + 1] - x[k]; };
    double dp = kInf, d = spacing(0), dn = n > 2 ? spacing(1) : kInf;
    start_stretch(x[0], y[0]);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double ref = reference.at(x[i], y[i], y[i + 1], dp, d, dn);
        if (!(d <= tuning_.gap_factor * ref && extend_stretch(x[i], d, x[i + 1], y[i + 1], ref))) {
            finish();
            start_stretch(x[i + 1], y[i + 1]);
        }
        dp = d;
        d = dn;
        dn = i + 3 < n ? spacing(i + 2) : kInf;
    }
    finish();
}

// A new stretch at the start of the grid buffers, of the sample at x of
// intensity y.
void Engine::start_stretch(double x, double y) {
    gx_[kPad] = x;
    gy_[kPad] = y;
    len_ = 1;
    anchor_ = x;
}

// Lays out the sample at x1 of intensity y1, d after the previous one at x0,
// given the reference spacing: joined to the stretch's last position, or at
// the next position after any missing ones. False when it lies beyond the
// missing samples a stretch may hold (also when the distance is not a
// number, with extreme m/z).
inline bool Engine::extend_stretch(double x0, double d, double x1, double y1, double ref) {
    const double span = x1 - anchor_;  // rounded to reference spacings: positions on
    if (span < 0.5 * ref) {
        join(x1, y1);
        return true;
    }
    if (!(span < max_span_ * ref)) return false;
    const auto missing = span < 1.5 * ref ? 0 : static_cast<std::size_t>(span / ref - 0.5);
    if (len_ + max_missing_ + 2 * kPad + 1 > gx_.size()) grow(len_ + max_missing_ + 2 * kPad + 1);
    double* gx = gx_.data() + kPad;
    double* gy = gy_.data() + kPad;
    for (std::size_t k = 1; k <= missing; ++k) {
        gx[len_] = x0 + d * (static_cast<double>(k) / static_cast<double>(missing + 1));
        gy[len_] = 0.0;
        ++len_;
    }
    gx[len_] = x1;
    gy[len_] = y1;
    ++len_;
    anchor_ = x1;
    return true;
}

// Joins the sample at x1 of intensity y1 to the stretch's last position:
// summed, at the weighted m/z; the stronger sample anchors the position.
void Engine::join(double x1, double y1) {
    double& gx = gx_[kPad + len_ - 1];
    double& gy = gy_[kPad + len_ - 1];
    const double sum = gy + y1;
    const double share = y1 / sum;
    if (share > 0.5) anchor_ = x1;
    const double at = gx + (x1 - gx) * share;
    // (Rounding at extreme m/z may leave the two; then the nearer.)
    gx = at >= gx && at <= x1 ? at : share > 0.5 ? x1 : gx;
    gy = sum;
}

// The stretch laid out at the start of the grid buffers, of len_ positions.
void Engine::finish() {
    if (len_ == 1) {
        const double x = gx_[kPad];
        emit(x, gy_[kPad], x, x);
        return;
    }
    stretch(len_);
}

// Appends a centroid, keeping the output strictly increasing: one that does
// not lie above the previous is merged into it (weighted by intensity).
// `lo` and `hi` bound the m/z of the samples it came from; an estimate
// outside them (possible only with extreme values) is moved to the bound.
void Engine::emit(double mz, double sum, double lo, double hi) {
    // Also none whose intensity would round to zero as a float.
    if (!(sum >= static_cast<double>(FLT_TRUE_MIN)) || sum < min_sum_) return;
    if (!(mz >= lo && mz <= hi)) mz = (mz > hi) ? hi : lo;
    auto& om = *out_mz_;
    auto& oi = *out_intensity_;
    while (!om.empty() && !(mz > om.back())) {
        const double prev = oi.back();
        const double merged = mz + (om.back() - mz) * (prev / (prev + sum));
        mz = merged >= mz && merged <= om.back() ? merged : om.back();
        sum += prev;
        om.pop_back();
        oi.pop_back();
    }
    om.push_back(mz);
    oi.push_back(static_cast<float>(std::min(sum, static_cast<double>(FLT_MAX))));
}

// One stretch of L samples: a single peak when its smoothed intensities have
// one maximum, else split.
void Engine::stretch(std::size_t L) {
    const double* gx = gx_.data() + kPad;
    double* gy = gy_.data() + kPad;
    for (std::size_t k = 0; k < kPad; ++k) gy[L + k] = 0.0;
    double sum = 0, moment = 0;
    std::size_t maxima = 0;
    switch (tuning_.smoothing) {
        case Smoothing::None: maxima = sum_and_count<Smoothing::None>(gx, gy, L, sum, moment); break;
        case Smoothing::Binomial3: maxima = sum_and_count<Smoothing::Binomial3>(gx, gy, L, sum, moment); break;
        case Smoothing::Binomial5: maxima = sum_and_count<Smoothing::Binomial5>(gx, gy, L, sum, moment); break;
    }
    if (maxima <= 1) {
        if (tuning_.estimator == Estimator::Mean) {
            emit(gx[0] + moment / sum, sum, gx[0], gx[L - 1]);
            return;
        }
        std::size_t apex = 0;
        for (std::size_t j = 1; j < L; ++j)
            if (gy[j] > gy[apex]) apex = j;
        Segment seg{0, L - 1, apex, 0, 0};
        estimate(seg, 1.0, 1.0);
        emit(seg.mz, seg.sum, gx[0], gx[L - 1]);
        return;
    }
    split(L);
}

// A stretch of several maxima: the significant ones, the peaks between
// their valleys, each measured, then unmixed.
void Engine::split(std::size_t L) {
    const double* gx = gx_.data() + kPad;
    const double* gy = gy_.data() + kPad;
    gs_.resize(L + 2);
    double* s = gs_.data() + 1;  // s[-1] and s[L] for the ends
    switch (tuning_.smoothing) {
        case Smoothing::None: smooth_all<Smoothing::None>(gy - 1, L + 2, s - 1); break;
        case Smoothing::Binomial3: smooth_all<Smoothing::Binomial3>(gy - 1, L + 2, s - 1); break;
        case Smoothing::Binomial5: smooth_all<Smoothing::Binomial5>(gy - 1, L + 2, s - 1); break;
    }
    maxima_.clear();
    for (std::size_t j = 0; j < L; ++j) {
        const auto at = static_cast<std::ptrdiff_t>(j);
        if (s[at] > s[at - 1] && s[at] >= s[at + 1]) maxima_.push_back(j);
    }
    surviving_maxima(s, L);

    segments_.clear();
    std::size_t lo = 0;
    for (std::size_t k = 0; k < maxima_.size(); ++k) {
        std::size_t hi = L - 1;
        if (k + 1 < maxima_.size()) {
            hi = maxima_[k];
            for (std::size_t j = maxima_[k]; j <= maxima_[k + 1]; ++j)
                if (s[j] < s[hi]) hi = j;
        }
        segments_.push_back(Segment{lo, hi, maxima_[k], 0, 0});
        lo = hi;
    }
    const std::size_t K = segments_.size();
    for (std::size_t k = 0; k < K; ++k) estimate(segments_[k], k > 0 ? 0.5 : 1.0, k + 1 < K ? 0.5 : 1.0);
    if (K > 1 && tuning_.unmix) unmix();
    for (const Segment& seg : segments_) emit(seg.mz, seg.sum, gx[seg.lo], gx[seg.hi]);
}

// Keeps the maxima whose key valley is significant. The key valley of a
// maximum is the higher of the two lowest points on the way to a higher
// sample on either side (none on a side without a higher sample; equal
// samples count as higher on the left only, so of equal maxima one
// stands). Both sides are found with a stack of samples of falling height,
// each entry holding the lowest point between it and the entry above it.
void Engine::surviving_maxima(const double* s, std::size_t L) {
    auto significant = [this](double apex, double col) {
        const double dip = apex - col;
        return dip > 0 && dip * dip >= noise2_ * (apex + col);
    };
    if (maxima_.size() == 2) {
        // The common case: the lower maximum's key valley is the lowest
        // point between the two (the higher one has none).
        const std::size_t a = maxima_[0], b = maxima_[1];
        double col = s[a];
        for (std::size_t j = a + 1; j < b; ++j) col = std::min(col, s[j]);
        if (!significant(std::min(s[a], s[b]), col)) maxima_.erase(maxima_.begin() + (s[a] >= s[b] ? 1 : 0));
        return;
    }
    left_cols(s, L);
    // The right side, and the decision; survivors are gathered at the back.
    std::size_t mi = maxima_.size(), kept = maxima_.size();
    stack_.clear();
    for (std::size_t i = L; i-- > 0;) {
        double m = kInf;
        while (!stack_.empty() && s[stack_.back()] <= s[i]) {
            const std::size_t t = stack_.back();
            m = std::min({m, s[t], between_[t]});
            stack_.pop_back();
        }
        double right_col = -1.0;
        if (!stack_.empty()) {
            const std::size_t t = stack_.back();
            right_col = std::min(m, between_[t]);
            between_[t] = right_col;
        }
        between_[i] = kInf;
        stack_.push_back(i);
        if (mi > 0 && maxima_[mi - 1] == i) {
            --mi;
            const double col = std::max(left_col_[i], right_col);
            if (col < 0 || significant(s[i], col)) maxima_[--kept] = i;
        }
    }
    maxima_.erase(maxima_.begin(), maxima_.begin() + static_cast<std::ptrdiff_t>(kept));
}

// The lowest point on the way from each of the L samples to a higher one
// on its left, in left_col_ (-1 where there is none), and between_ as the
// left pass leaves it for the right one.
void Engine::left_cols(const double* s, std::size_t L) {
    left_col_.resize(L);
    between_.resize(L);
    stack_.clear();
    for (std::size_t i = 0; i < L; ++i) {
        double m = kInf;
        while (!stack_.empty() && s[stack_.back()] < s[i]) {
            const std::size_t t = stack_.back();
            m = std::min({m, s[t], between_[t]});
            stack_.pop_back();
        }
        left_col_[i] = -1.0;  // no higher sample on the left
        if (!stack_.empty()) {
            const std::size_t t = stack_.back();
            left_col_[i] = std::min(m, between_[t]);
            between_[t] = left_col_[i];
        }
        between_[i] = kInf;
        stack_.push_back(i);
    }
}

// The m/z and summed intensity of one peak, samples lo..hi of the stretch,
// the end samples counted with weights w_lo and w_hi (a shared valley
// sample counts half to each side).
void Engine::estimate(Segment& seg, double w_lo, double w_hi) const {
    const double* gx = gx_.data() + kPad;
    const double* gy = gy_.data() + kPad;
    const double ref = gx[seg.apex];
    const PeakWeights weight{gy, seg.lo, seg.hi, w_lo, w_hi};
    double sw = 0, swx = 0;
    for (std::size_t i = seg.lo; i <= seg.hi; ++i) {
        const double w = weight(i);
        sw += w;
        swx += w * (gx[i] - ref);
    }
    seg.sum = sw;
    seg.mz = sw > 0 ? ref + swx / sw : ref;
    if (seg.hi - seg.lo < 2) return;
    switch (tuning_.estimator) {
        case Estimator::Mean: break;
        case Estimator::Core: seg.mz = core_mean(gx, weight, ref, seg.mz, sw, tuning_.core_sigmas); break;
        case Estimator::Parabola3: seg.mz = vertex_mz(gx, gy, seg.lo, seg.hi, false, seg.mz); break;
        case Estimator::Gauss3: seg.mz = vertex_mz(gx, gy, seg.lo, seg.hi, true, seg.mz); break;
    }
}

// Shares out the samples of a stretch's peaks by expectation maximisation
// of a mixture of Gaussians of one common width: each sample's intensity
// goes to its own and its neighbouring peaks in proportion to their
// Gaussians there, then each peak's m/z and sum, and the width, are
// measured anew. A peak's weight in the mixture is its summed intensity.
// With one width, a neighbour's Gaussian over the own one is
// exp((m_c - m_k)(2x - m_k - m_c) / (2 var)), linear in x inside the exp.
void Engine::unmix() {
    const double* gx = gx_.data() + kPad;
    const double* gy = gy_.data() + kPad;
    // Starting width: the peaks' own spread, weighted by their counts.
    double s2 = 0, total = 0;
    for (const Segment& seg : segments_) {
        for (std::size_t i = seg.lo; i <= seg.hi; ++i) s2 += gy[i] * (gx[i] - seg.mz) * (gx[i] - seg.mz);
        total += seg.sum;
    }
    if (!(total > 0 && s2 > 0 && std::isfinite(s2))) return;
    double var = s2 / total;
    acc_.resize(segments_.size());
    const std::size_t L = segments_.back().hi + 1;
    if (share_l_.size() < L) {
        share_l_.resize(L);
        share_r_.resize(L);
    }
    for (int round = 0; round < tuning_.unmix_rounds; ++round) {
        std::fill(acc_.begin(), acc_.end(), Moments{});
        const double half_inv = 0.5 / var;
        for (std::size_t k = 0; k < segments_.size(); ++k) share_out_peak(k, half_inv);
        if (!remeasure(var, total)) break;
    }
}

// Shares the samples of peak k out between it and its neighbours (the
// Gaussians' 1 / (2 var) is half_inv), adding the shares to their moments
// in acc_. A valley sample shared with the left neighbour is left to it.
void Engine::share_out_peak(std::size_t k, double half_inv) {
    const double* gx = gx_.data() + kPad;
    const double* gy = gy_.data() + kPad;
    const Segment& seg = segments_[k];
    const double mk = seg.mz, pk = seg.sum;
    const bool has_l = k > 0, has_r = k + 1 < segments_.size();
    const double ml = has_l ? segments_[k - 1].mz : mk, mr = has_r ? segments_[k + 1].mz : mk;
    const double pl = has_l ? segments_[k - 1].sum : 0, pr = has_r ? segments_[k + 1].sum : 0;
    const std::size_t from = seg.lo + (has_l ? 1 : 0);
    double* ql = share_l_.data();
    double* qr = share_r_.data();
    if (has_l) neighbour_share(gx, from, seg.hi, half_inv, mk, ml, pl, ql);
    if (has_r) neighbour_share(gx, from, seg.hi, half_inv, mk, mr, pr, qr);
    Shares sh{};
    if (has_l && has_r)
        sh = share_out<true, true>(gx, gy, ql, qr, from, seg.hi, mk, pk, ml, mr);
    else if (has_l)
        sh = share_out<true, false>(gx, gy, ql, qr, from, seg.hi, mk, pk, ml, mr);
    else if (has_r)
        sh = share_out<false, true>(gx, gy, ql, qr, from, seg.hi, mk, pk, ml, mr);
    else
        sh = share_out<false, false>(gx, gy, ql, qr, from, seg.hi, mk, pk, ml, mr);
    acc_[k] += sh.own;
    if (has_l) acc_[k - 1] += sh.left;
    if (has_r) acc_[k + 1] += sh.right;
}

// Each peak's m/z and sum measured anew from its shares, and the common
// variance `var` from their spread about the new m/z (of summed intensity
// `total`). Whether any peak moved by more than a tenth of its statistical
// error, sigma / sqrt(ions): if not, the fit is done.
bool Engine::remeasure(double& var, double total) {
    bool moved = false;
    double wxx = 0;
    for (std::size_t c = 0; c < segments_.size(); ++c) {
        Segment& seg = segments_[c];
        const Moments& acc = acc_[c];
        wxx += acc.wxx;
        if (acc.w > 0) {
            const double d = acc.wx / acc.w;
            seg.mz += tuning_.unmix_step * d;
            wxx -= acc.w * d * d;  // the spread about the mean
            moved = moved || d * d * acc.w > 0.01 * var * ion_;
        }
        seg.sum = acc.w;
    }
    const double next = wxx / total;
    if (next > 0 && std::isfinite(next)) var = next;
    return moved;
}

}  // namespace centroid

struct Centroider::Impl {
    explicit Impl(const CentroidOptions& options) : engine(options, centroid::Tuning{}) {}
    centroid::Engine engine;
};

Centroider::Centroider(const CentroidOptions& options) : impl_(std::make_unique<Impl>(options)) {}
Centroider::Centroider(Centroider&&) noexcept = default;
Centroider& Centroider::operator=(Centroider&&) noexcept = default;
Centroider::~Centroider() = default;

const CentroidOptions& Centroider::options() const noexcept { return impl_->engine.options(); }

void Centroider::centroid(std::span<const double> mz, std::span<const float> intensity, std::vector<double>& out_mz,
                          std::vector<float>& out_intensity) {
    impl_->engine.run(mz, intensity, out_mz, out_intensity);
}

void centroid_spectrum(std::span<const double> mz, std::span<const float> intensity, const CentroidOptions& options,
                       std::vector<double>& out_mz, std::vector<float>& out_intensity) {
    Centroider(options).centroid(mz, intensity, out_mz, out_intensity);
}

}  // namespace kestrune
