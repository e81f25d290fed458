// The centroider behind kestrune/centroid.h, with the alternatives that
// bench/centroid_quality measures it against. The public Centroider runs an
// Engine with the default Tuning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kestrune/centroid.h"

namespace kestrune::centroid {

// How a peak's m/z is estimated from its samples.
enum class Estimator : std::uint8_t {
    Mean,       // intensity-weighted mean m/z of all the peak's samples
    Core,       // weighted mean over a window of core_sigmas peak widths (sigma)
                // centred on the estimate, moved until it stays
    Parabola3,  // vertex of the parabola through the highest sample and its two neighbours
    Gauss3,     // the same through the logarithms of the intensities (a Gaussian)
};

// The smoothing of the intensities that the detection of maxima and valleys
// works on (the estimate always uses the samples as they are).
enum class Smoothing : std::uint8_t {
    None,
    Binomial3,  // 1-2-1
    Binomial5,  // 1-4-6-4-1
};

struct Tuning {
    Estimator estimator = Estimator::Mean;
    Smoothing smoothing = Smoothing::Binomial3;
    // Where peaks of one stretch touch, share out their samples by a fit of
    // Gaussians of a common width (expectation maximisation) instead of
    // cutting at the valley.
    bool unmix = true;
    // Most rounds of expectation maximisation.
    int unmix_rounds = 3;
    // Each round moves a peak's m/z by this many times the step found
    // (over-relaxation: the rounds converge linearly, at a rate of about
    // 0.4 for peaks 1.6 FWHM apart; any factor below 2 converges).
    double unmix_step = 1.5;
    // A spacing of more than this many local sample spacings ends a stretch.
    double gap_factor = 2.5;
    // Half width of the Core estimator's window, in sigma.
    double core_sigmas = 2.5;
};

// Sums over the samples a peak is given: of their weights w, of w dx and of
// w dx^2, dx a sample's m/z less the peak's.
struct Moments {
    double w = 0, wx = 0, wxx = 0;

    Moments& operator+=(const Moments& m) noexcept {
        w += m.w;
        wx += m.wx;
        wxx += m.wxx;
        return *this;
    }
};

class Engine {
public:
    Engine(const CentroidOptions& options, const Tuning& tuning);

    const CentroidOptions& options() const noexcept { return options_; }

    void run(std::span<const double> mz, std::span<const float> intensity, std::vector<double>& out_mz,
             std::vector<float>& out_intensity);

private:
    struct Segment {
        std::size_t lo, hi;  // samples [lo, hi] of the stretch, inclusive
        std::size_t apex;    // its highest smoothed sample
        double mz, sum;      // the estimate
    };

    void prepare(std::span<const double> mz, std::span<const float> intensity);
    void clean_copy(const double* x, const float* y, std::size_t n);
    void sort_clean();
    void grow(std::size_t size);
    void lay_out();
    void start_stretch(double x, double y);
    inline bool extend_stretch(double x0, double d, double x1, double y1, double ref);  // once per sample
    void join(double x1, double y1);
    void finish();
    void stretch(std::size_t L);
    void split(std::size_t L);
    void surviving_maxima(const double* s, std::size_t L);
    void left_cols(const double* s, std::size_t L);
    void estimate(Segment& seg, double w_lo, double w_hi) const;
    void unmix();
    void share_out_peak(std::size_t k, double half_inv);
    bool remeasure(double& var, double total);
    void emit(double mz, double sum, double lo, double hi);

    CentroidOptions options_;
    Tuning tuning_;
    double kernel_var_ = 1.0;  // sum of the squared smoothing weights
    // The most missing samples in a row within a stretch, and the most
    // reference spacings from one grid position to the next sample.
    std::size_t max_missing_ = 1;
    double max_span_ = 2.5;
    // For the current spectrum: the intensity of one ion, the least summed
    // intensity of a peak, and the squared significance times the variance
    // of the smoothed intensities per unit of intensity.
    double ion_ = 1.0, min_sum_ = 0.0, noise2_ = 0.0;

    // The cleaned spectrum: the caller's arrays when they need no cleaning.
    const double* x_ = nullptr;
    const float* y_ = nullptr;
    std::size_t n_ = 0;
    double y_min_ = 0.0;
    std::vector<double> clean_x_;
    std::vector<float> clean_y_;
    std::vector<std::size_t> order_;

    // One stretch on its sample grid (missing samples as zeros) from index
    // kPad on, with zeros before and after it; the smoothed intensities.
    std::vector<double> gx_, gy_, gs_;
    // The stretch being laid out: its grid positions, and the first sample
    // at the last of them.
    std::size_t len_ = 0;
    double anchor_ = 0.0;
    std::vector<std::size_t> maxima_, stack_;
    std::vector<double> left_col_, between_;
    std::vector<Segment> segments_;
    std::vector<Moments> acc_;
    std::vector<double> share_l_, share_r_;  // unmixing: the neighbours' Gaussians at each sample

    std::vector<double>* out_mz_ = nullptr;
    std::vector<float>* out_intensity_ = nullptr;
};

}  // namespace kestrune::centroid
