// Whether a function's spectra are profile (sampled peak shapes) or centroid
// (one point per peak), judged from the data.
#pragma once

#include <span>
#include <vector>

#include "error.h"
#include "kestrune/types.h"
#include "reader/reader.h"

namespace kestrune::reader {

// Profile when neighbouring m/z values lie close together relative to their
// m/z: the median of (m[i+1] - m[i]) / m[i+1] over the distinct values of
// each spectrum (each drift time of an ion-mobility frame on its own) is
// below kProfileSpacing. Spectra with fewer than kMinGaps such spacings in
// total say nothing, and count as centroid.
inline constexpr double kProfileSpacing = 2.5e-4;
inline constexpr std::size_t kMinGaps = 16;

// The spacings of one spectrum, appended to `gaps`. `drift` is empty for a
// one-dimensional spectrum.
void collect_spacings(std::span<const double> mz, std::span<const double> drift, std::vector<double>& gaps);
Representation judge_spacings(std::vector<double> gaps) noexcept;

// Up to kSampleScans scans spread evenly over the function.
inline constexpr std::size_t kSampleScans = 12;
Result<Representation> detect_representation(const Reader& r, const FunctionEntry& f);

}  // namespace kestrune::reader
