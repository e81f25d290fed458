// PSI mzQC 1.0.0 (JSON) of the quality-control metrics of one or more runs.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "psi_terms.h"
#include "qc_metrics.h"

namespace kestrune::cli {

namespace qc_term {

// Version of the PSI-MS ontology the quality-control terms come from.
inline constexpr std::string_view kPsiMsVersion = "4.1.257";

inline constexpr term::Term kNumberOfMs1Spectra{"MS:4000059", "number of MS1 spectra"};
inline constexpr term::Term kNumberOfMs2Spectra{"MS:4000060", "number of MS2 spectra"};
inline constexpr term::Term kAreaUnderTic{"MS:4000155", "area under TIC"};
inline constexpr term::Term kAreaUnderTicMs1{"MS:4000029", "area under TIC in MS1"};
inline constexpr term::Term kAreaUnderTicMs2{"MS:4000030", "area under TIC in MS2"};
inline constexpr term::Term kMs1TicQuantileRatios{"MS:4000187", "MS1 TIC quantile ratios"};
inline constexpr term::Term kTicQuantileRtFraction{"MS:4000183", "TIC quantile RT fraction"};
inline constexpr term::Term kMs1SignalJumps{"MS:4000097", "MS1 signal jump (10x) count"};
inline constexpr term::Term kMs1SignalFalls{"MS:4000098", "MS1 signal fall (10x) count"};
inline constexpr term::Term kRtAcquisitionRange{"MS:4000070", "retention time acquisition range"};
inline constexpr term::Term kMs1MedianCycleTime{"MS:4000192", "MS1 median cycle time"};
inline constexpr term::Term kObservedMassAccuracy{"MS:4000072", "observed mass accuracy"};
inline constexpr term::Term kUnitCount{"UO:0000189", "count unit"};
inline constexpr term::Term kUnitFraction{"UO:0000191", "fraction"};
inline constexpr term::Term kUnitSecond{"UO:0000010", "second"};
inline constexpr term::Term kUnitPpm{"UO:0000169", "parts per million"};

}  // namespace qc_term

// The mzQC document: one runQuality per run, labelled by run name (made
// unique with a " (2)", " (3)" ... suffix). `creation_date` is an RFC 3339
// date-time.
std::string mzqc_json(std::span<const RunQc> runs, std::string_view creation_date);

// The labels of the runs as mzqc_json gives them.
std::vector<std::string> run_labels(std::span<const RunQc> runs);

}  // namespace kestrune::cli
