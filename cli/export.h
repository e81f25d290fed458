// `kestrune export`: a run (or a selection of it) as an indexed mzML file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "deflate.h"
#include "error.h"
#include "instrument_models.h"
#include "lockmass.h"
#include "mzml_writer.h"
#include "numpress.h"
#include "options.h"
#include "progress.h"
#include "psi_terms.h"
#include "raw/chroms.h"
#include "reader/reader.h"
#include "representation.h"

namespace kestrune::cli {

inline constexpr double kDefaultLockMassTolerance = 0.25;

enum class RepresentationChoice { Auto, Centroid, Profile };

// How the frames of ion-mobility functions become spectra.
enum class ImsLayout {
    Combined,  // one spectrum per frame, ordered by m/z then drift time, with the drift array
    PerBin,    // one spectrum per drift time of a frame, its drift time on the scan
    Summed,    // one spectrum per frame, intensities of equal m/z summed
};

// The write stage: batches of consecutive scans rendered on `threads`
// workers wait for the one writer in a queue of at most
// kBatchesAheadPerThread × threads batches; no batch starts while the
// rendered ones waiting hold more than kQueueBytes of mzML text (but the
// next one to write always may). So the queue holds at most kQueueBytes
// plus one batch's text per thread; a slot of the queue keeps at most
// kSlotKeepBytes of memory once its batch is written.
inline constexpr unsigned kBatchesAheadPerThread = 4;
inline constexpr std::size_t kQueueBytes = std::size_t{16} << 20;
inline constexpr std::size_t kSlotKeepBytes = std::size_t{1} << 20;
// A batch takes scans while their data, as the scan index spaces them, plus
// kSpectrumTextBytes per spectrum to write stays within kBatchBytes; a scan
// larger than that is a batch of its own. (Handing a job from thread to
// thread costs about as much as rendering a small scan.)
inline constexpr std::size_t kBatchBytes = std::size_t{256} << 10;
inline constexpr std::size_t kSpectrumTextBytes = 2048;

// The machine's cores (at least 1).
unsigned default_export_threads() noexcept;

struct ExportOptions {
    std::filesystem::path run;
    std::filesystem::path output;
    bool compress = true;
    int compression_level = kDefaultDeflateLevel;
    Numpress numpress = Numpress::None;
    double numpress_ppm = kDefaultNumpressPpm;
    unsigned threads = 0;  // 0: default_export_threads()
    bool keep_lockmass = false;
    std::optional<double> lockmass;  // reference m/z
    // Without it, a correction that cannot be made (no lock-mass function,
    // no lock-mass scan with a peak in the window) fails the export.
    bool lockmass_optional = false;
    double lockmass_tolerance = kDefaultLockMassTolerance;
    std::optional<std::vector<std::uint32_t>> functions;
    std::optional<RtRange> rt_range;
    std::optional<unsigned> ms_level;
    RepresentationChoice representation = RepresentationChoice::Auto;
    ImsLayout ims_layout = ImsLayout::Combined;
    bool progress = false;
};

// What an export writes, decided before the first byte is written: the
// functions and their description, the scans in file order, the instrument
// channels with their values as written, and the run description.
struct PlannedFunction {
    const reader::FunctionEntry* entry = nullptr;
    std::uint8_t ms_level = 1;
    std::optional<double> set_mass;
    Representation representation = Representation::Centroid;
    bool ims = false;        // frames of drift-time-resolved data
    bool lock_mass = false;  // a kept lock-mass function: calibration spectra
    // Half of a low/high-energy pair over one m/z range.
    std::optional<term::Term> acquisition_method;
    std::string tic_id;
    std::size_t scans = 0;  // selected scans
};

struct PlannedScan {
    float rt_min = 0;
    std::uint32_t function_slot = 0;  // index into ExportPlan::functions
    std::uint64_t scan = 0;
    std::uint32_t spectra = 1;  // spectra written for it (drift bins in the per-bin layout)
    double lock_factor = 1;
};

// How a channel's values are written: type and array terms, and the unit
// conversion into the array's unit (written = value * scale + offset).
struct ChannelKind {
    std::optional<term::Term> type;
    term::Term value_array = term::kNonStandardArray;
    std::optional<term::Term> unit;
    double scale = 1;
    double offset = 0;
    bool converted = false;
};
// By the channel's unit text (case and blanks ignored).
ChannelKind channel_kind(std::string_view units);

// A chromatogram channel of the run and its samples as recorded.
struct ChannelSamples {
    raw::chroms::ChromChannel channel;
    std::vector<raw::chroms::ChromPoint> points;
};
// Every channel of the run with its samples; a channel whose sample file is
// missing is left out with a warning.
Result<std::vector<ChannelSamples>> channels_with_samples(const reader::Reader& r);

struct PlannedChannel {
    std::string id;
    raw::chroms::ChromChannel channel;
    ChannelKind kind;
    std::vector<float> time;
    std::vector<float> values;      // as recorded
    std::vector<double> converted;  // in the array's unit, when converted
};

struct ExportPlan {
    std::vector<PlannedFunction> functions;
    std::vector<PlannedScan> scans;  // in file order
    std::vector<PlannedChannel> channels;
    RunDescription run;
    ImsLayout ims_layout = ImsLayout::Combined;
    LockMassCorrection correction;
    std::size_t lock_scans = 0;
    std::size_t n_spectra = 0;
    std::size_t n_chromatograms = 0;
};

// Scans [first, last) of ExportPlan::scans, rendered as one job.
struct ScanBatch {
    std::size_t first = 0;
    std::size_t last = 0;
};
std::vector<ScanBatch> batch_scans(const ExportPlan& plan);

// The plan of an export without lock-mass correction; `add_lock_mass`
// measures the lock-mass scans (counting them on `progress`) and adds the
// correction to it.
Result<ExportPlan> plan_export(const reader::Reader& r, const ExportOptions& options);
Result<void> add_lock_mass(const reader::Reader& r, const ExportOptions& options, ExportPlan& plan,
                           Progress& progress, std::uint64_t& done);

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

// The whole export: open, plan, lock-mass correction, write.
Result<ExportReport> export_mzml(const ExportOptions& options);
// Writes a plan (the output file appears only when complete).
Result<ExportReport> write_export(const reader::Reader& r, const ExportPlan& plan, const ExportOptions& options,
                                  Progress& progress, std::uint64_t& done);

// The isolation half-width written around a set mass: the files do not
// record the quadrupole's isolation width, so a nominal unit-resolution
// window is written.
inline constexpr double kNominalIsolationHalfWidth = 0.5;

// The native ID of a scan: "function=F process=0 scan=S", S counted from 1.
std::string native_id(std::uint32_t function, std::uint64_t scan);
// The scan number S of one drift bin in the per-bin layout: frame × 65536 +
// drift word + 1, the drift word being the drift time in units of 2^-16 of
// the function's scan time (0 to 65535).
std::uint64_t per_bin_scan(std::uint64_t frame, double drift_ms, double scan_time_ms) noexcept;

// The model term whose name matches the instrument text (letters and digits
// compared, case ignored), or nothing.
const InstrumentModel* match_instrument_model(std::string_view model_text) noexcept;

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
