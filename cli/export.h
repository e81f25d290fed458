// `kestrune export`: a run (or a selection of it) as an indexed mzML file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "options.h"

namespace kestrune::cli {

inline constexpr double kDefaultLockMassTolerance = 0.25;

struct ExportOptions {
    std::filesystem::path run;
    std::filesystem::path output;
    bool compress = true;
    int zlib_level = 1;
    bool keep_lockmass = false;
    std::optional<double> lockmass;  // reference m/z
    double lockmass_tolerance = kDefaultLockMassTolerance;
    std::optional<std::vector<std::uint32_t>> functions;
    std::optional<RtRange> rt_range;
    std::optional<unsigned> ms_level;
    bool progress = false;
};

struct ExportReport {
    std::size_t spectra = 0;
    std::size_t chromatograms = 0;
    std::uint64_t bytes = 0;
    // Lock-mass correction, when asked for.
    std::size_t lock_scans = 0;
    std::size_t lock_scans_matched = 0;
    std::optional<double> factor_min;
    std::optional<double> factor_max;
};

Result<ExportReport> export_mzml(const ExportOptions& options);

// The native ID of a scan: "function=F process=0 scan=S", S counted from 1.
std::string native_id(std::uint32_t function, std::uint64_t scan);

// A name usable as an XML ID: letters, digits, '_', '-' and '.' kept,
// anything else as '_', and '_' in front when it does not start with a
// letter or '_'.
std::string xml_id(std::string_view name);

// "14-Jan-2021" and "16:20:52" as "2021-01-14T16:20:52"; nothing when either
// does not have that form.
std::optional<std::string> timestamp(std::string_view date, std::string_view time);

// A file URI of an absolute path, bytes outside the unreserved set and "/"
// percent-encoded.
std::string file_uri(const std::filesystem::path& absolute);

}  // namespace kestrune::cli
