/// @file
/// Centroiding: one point per peak of a profile (continuum) spectrum.
///
/// A profile spectrum samples each peak at several m/z values; a centroided
/// spectrum lists one m/z and one intensity per peak, which is what search
/// engines expect. The centroider works on one spectrum's arrays at a time
/// (for ion-mobility scans: on one drift bin's spectrum at a time) and is
/// made for time-of-flight data: sampling uniform in the square root of m/z,
/// zero-intensity samples left out, intensities in ion counts.
///
/// What it does, in order:
/// - points whose m/z is not finite, or whose intensity is not finite or not
///   positive, are left out; the rest is sorted by m/z (only when it is not
///   sorted already) and equal m/z values are merged, their intensities
///   added;
/// - the samples are laid out on their sampling grid, whose spacing is
///   learnt from the spectrum itself (from evenly spaced samples of two ions
///   or more): one missing sample (a sample of zero counts, which the
///   instruments do not record) stands as a zero, a gap of more than two and
///   a half spacings ends a stretch of signal (peaks never reach across it),
///   and a sample between the grid's samples (a noise hit off the grid, or
///   a peak sampled on a grid of its own) joins the nearer grid position;
/// - within a stretch, the intensities smoothed with a 1-2-1 kernel give the
///   candidate maxima; a maximum is a peak of its own only when its key
///   valley (the higher of the lowest points on the way to a higher maximum
///   on either side) lies significantly below it given the counting
///   (Poisson) noise of both: apex minus valley at least
///   CentroidOptions::valley_significance standard deviations. A noisy peak
///   therefore gives one centroid, and two peaks with a visible valley
///   between them give two;
/// - each peak's m/z is the intensity-weighted mean m/z of its samples,
///   which for counted ions is the best estimate there is (its error
///   approaches sigma / sqrt(N) for a peak of N ions and standard deviation
///   sigma), and its intensity is their sum: the peak's area in counts.
///   Where peaks share a stretch, the samples are shared out between them
///   by a fit of Gaussians of a common width (expectation maximisation), so
///   that neither the m/z nor the summed counts of one take in the other's
///   tail;
/// - peaks of fewer than CentroidOptions::min_peak_ions ions (lone noise
///   hits) are left out.
///
/// The output is sorted by m/z, strictly increasing, and every m/z lies
/// within the range of the input's finite m/z values; every intensity is
/// finite and positive (sums beyond the largest float are held at it).
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "kestrune/config.h"

namespace kestrune {

/// The choices of the centroider. The defaults need no tuning for
/// time-of-flight spectra of ion counts with resolving powers of 10,000 to
/// 40,000 and 4 to 10 samples per peak width (FWHM): neither the sampling
/// nor the peak width is given, the sample spacing is learnt from each
/// spectrum and the width of overlapping peaks from their samples.
struct KESTRUNE_API CentroidOptions {
    /// Intensity of one ion, the unit of the counting noise: 1 for spectra of
    /// whole ion counts (Encodings A, B and C). 0 takes each spectrum's
    /// smallest positive intensity for it (intensities of another scale).
    /// Larger values make the detection allow for more noise (fewer peaks).
    double ion_intensity = 1.0;
    /// How many standard deviations of the counting noise the valley between
    /// two maxima must lie below the smaller one for them to count as two
    /// peaks. Lower values split more readily, higher ones merge more.
    double valley_significance = 2.5;
    /// Peaks summing to fewer ions than this (intensity below min_peak_ions
    /// times ion_intensity) are left out: with the default 2, a lone ion,
    /// which cannot be told from a noise hit, gives no centroid. 0 keeps
    /// every peak.
    double min_peak_ions = 2.0;

    /// A copy with every field that is not finite, or out of its range
    /// (negative; valley_significance zero), replaced by its default.
    CentroidOptions validated() const noexcept;
};

/// A centroider that keeps its working storage from spectrum to spectrum:
/// a loop over spectra allocates only while the spectra grow. One
/// Centroider serves one thread at a time; it never throws.
///
/// @code
/// kestrune::Centroider centroider;
/// std::vector<double> mz;
/// std::vector<float> intensity;
/// while (cursor->next(scan).value_or(false)) {
///     centroider.centroid(scan.mz, scan.intensity, mz, intensity);
///     use(mz, intensity);
/// }
/// @endcode
class KESTRUNE_API Centroider {
public:
    /// A centroider with these options (validated first).
    explicit Centroider(const CentroidOptions& options = {});
    /// Moves the centroider; the source may only be destroyed or assigned to.
    Centroider(Centroider&&) noexcept;
    /// Moves the centroider.
    Centroider& operator=(Centroider&&) noexcept;
    ~Centroider();

    /// The options in use (validated).
    const CentroidOptions& options() const noexcept;

    /// Centroids one spectrum: `mz[i]` and `intensity[i]` are one sample
    /// (when the lengths differ, the extra values of the longer array are
    /// ignored). `out_mz` and `out_intensity` are cleared and filled with
    /// one m/z and one summed intensity per peak, sorted by strictly
    /// increasing m/z; their storage is reused. Any input, empty or not,
    /// gives some (possibly empty) output; the only exception is
    /// std::bad_alloc when memory runs out.
    void centroid(std::span<const double> mz, std::span<const float> intensity,
                  std::vector<double>& out_mz, std::vector<float>& out_intensity);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Centroids one spectrum as Centroider::centroid does, with a centroider
/// made for the call (use a Centroider in loops over many spectra).
KESTRUNE_API void centroid_spectrum(std::span<const double> mz, std::span<const float> intensity,
                                    const CentroidOptions& options, std::vector<double>& out_mz,
                                    std::vector<float>& out_intensity);

}  // namespace kestrune
