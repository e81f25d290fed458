// The export of a run as indexed mzML, in three steps: the plan (what is
// written, decided before the first byte), the lock-mass correction added
// to it, and the write (scans rendered on worker threads, appended in order
// by one writer).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "export/channels.h"
#include "export/lockmass.h"
#include "export/sources.h"
#include "kestrune/export.h"
#include "mzml/psi_terms.h"
#include "mzml/writer.h"
#include "output/sink.h"
#include "raw/chroms.h"
#include "reader/reader.h"

namespace kestrune::exporting {

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

// The isolation half-width written around a set mass: the files do not
// record the quadrupole's isolation width, so a nominal unit-resolution
// window is written.
inline constexpr double kNominalIsolationHalfWidth = 0.5;

// Counts the work done for a caller's progress callback.
class Tally {
public:
    Tally(const ProgressCallback& callback, std::uint64_t total) : callback_(callback), total_(total) {}
    void start() const;
    void step();
    void finish() const;

private:
    const ProgressCallback& callback_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
};

struct PlannedFunction {
    const reader::FunctionEntry* entry = nullptr;
    std::uint8_t ms_level = 1;
    std::optional<double> set_mass;
    Representation representation = Representation::Centroid;  // of the data read
    bool centroid = false;   // profile data written as centroids
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
    CentroidOptions centroiding;  // for the functions written as centroids
    std::shared_ptr<const SourceFiles> sources;  // the data files, open for the whole export
    std::vector<PlannedScan> scans;  // in file order
    std::vector<PlannedChannel> channels;
    mzml::RunDescription run;
    ImsLayout ims_layout = ImsLayout::Combined;
    LockMassCorrection correction;
    std::size_t lock_scans = 0;
    std::size_t n_spectra = 0;
    std::size_t n_chromatograms = 0;
};

// Scans [first, last) of ExportPlan::scans, rendered as one job.
// A frame of more than kMaxBinsPerBatch drift bins in the per-bin layout is
// rendered as several batches of that many of its spectra, so that no batch
// holds the text of thousands of spectra.
inline constexpr std::uint32_t kMaxBinsPerBatch = 256;
struct ScanBatch {
    std::size_t first = 0;
    std::size_t last = 0;
    // For a frame split across batches: its spectra [bin_first, bin_last).
    std::uint32_t bin_first = 0;
    std::uint32_t bin_last = std::numeric_limits<std::uint32_t>::max();
};
std::vector<ScanBatch> batch_scans(const ExportPlan& plan);

// The plan of an export of validated options, without lock-mass
// correction; `add_lock_mass` measures the lock-mass scans (counting them
// on `tally`) and adds the correction to it.
Result<ExportPlan> plan_export(const reader::Reader& r, const ExportOptions& options);
Result<void> add_lock_mass(const reader::Reader& r, const ExportOptions& options, ExportPlan& plan, Tally& tally);
// Lock-mass scans the correction measures.
std::uint64_t lock_scan_count(const reader::Reader& r) noexcept;

// Writes a plan to the sink, counting the scans on `tally`; stops at the
// sink's first failure. The summary holds the counts and bytes.
Result<ExportSummary> write_export(const reader::Reader& r, const ExportPlan& plan, const ExportOptions& options,
                                   output::ByteSink& sink, Tally& tally);

// The native ID of a scan: "function=F process=0 scan=S", S counted from 1.
std::string native_id(std::uint32_t function, std::uint64_t scan);
// The scan number S of one drift bin in the per-bin layout: frame × 65536 +
// drift word + 1, the drift word being the drift time in units of 2^-16 of
// the function's scan time (0 to 65535).
std::uint64_t per_bin_scan(std::uint64_t frame, double drift_ms, double scan_time_ms) noexcept;

// A name usable as an XML ID: letters, digits, '_', '-' and '.' kept,
// anything else as '_', and '_' in front when it does not start with a
// letter or '_'.
std::string xml_id(std::string_view name);

// "14-Jan-2021" and "16:20:52" as "2021-01-14T16:20:52"; nothing when either
// does not have that form.
std::optional<std::string> timestamp(std::string_view date, std::string_view time);

}  // namespace kestrune::exporting
