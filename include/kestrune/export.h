/// @file
/// Writing a run, or a selection of it, as an indexed mzML 1.1.0 file.
///
/// @code
/// auto run = kestrune::Run::open("sample.raw");
/// kestrune::ExportOptions opt;
/// opt.numpress = kestrune::Numpress::Linear;
/// auto done = kestrune::export_mzml(*run, "sample.mzML", opt);
/// if (!done) std::cerr << done.error().to_string() << '\n';
/// @endcode
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/centroid.h"
#include "kestrune/config.h"
#include "kestrune/error.h"
#include "kestrune/run.h"

namespace kestrune {

/// Which representation the spectra of a function are written as.
enum class RepresentationChoice : std::uint8_t {
    Auto,      ///< As Run::representation judges each function from its data.
    Centroid,  ///< Every function as centroid spectra.
    Profile    ///< Every function as profile spectra.
};

/// How the frames of ion-mobility functions become spectra.
enum class ImsLayout : std::uint8_t {
    Combined,  ///< One spectrum per frame, ordered by m/z then drift time, with a drift-time array.
    PerBin,    ///< One spectrum per drift time of a frame, its drift time on the scan.
    Summed     ///< One spectrum per frame, intensities of equal m/z summed (64-bit).
};

/// MS-Numpress encoding of the binary arrays before zlib (lossy).
enum class Numpress : std::uint8_t {
    None,    ///< Lossless: the values as they are.
    Linear,  ///< m/z arrays of spectra by linear prediction, within numpress_ppm.
    Pic,     ///< Also intensities rounded to whole numbers.
    Slof     ///< Also intensities as 16-bit logarithms.
};

/// A retention-time window in minutes, both ends included; an absent end
/// is open.
struct RtRange {
    std::optional<double> min;  ///< Start, minutes.
    std::optional<double> max;  ///< End, minutes.
    /// Whether `rt_min` lies within the window (never for NaN with an end set).
    bool contains(double rt_min) const noexcept {
        return (!min || rt_min >= *min) && (!max || rt_min <= *max);
    }
};

/// Deflate levels: 0 stores, 1 is the fastest, 12 the smallest.
inline constexpr int kMinCompressionLevel = 0;
/// The highest deflate level.
inline constexpr int kMaxCompressionLevel = 12;
/// The default deflate level (the fastest that compresses).
inline constexpr int kDefaultCompressionLevel = 1;
/// The default bound of numpress m/z errors, in ppm of the value.
inline constexpr double kDefaultNumpressPpm = 0.1;
/// The default window around the lock-mass reference m/z, in Da.
inline constexpr double kDefaultLockMassTolerance = 0.25;
/// The most threads an export takes.
inline constexpr unsigned kMaxThreads = 1024;
/// The highest MS level a selection may name.
inline constexpr unsigned kMaxMsLevel = 255;

/// The number of CPUs this process may run on (its affinity mask, which a
/// batch scheduler or `taskset` narrows), at least 1: the threads an
/// export uses by default.
KESTRUNE_API unsigned default_threads() noexcept;

/// What an export writes and how. The defaults are those of
/// `kestrune export`.
struct ExportOptions {
    /// Deflate the binary arrays (zlib format); false stores them as they are.
    bool compress = true;
    /// Deflate level, kMinCompressionLevel to kMaxCompressionLevel.
    int compression_level = kDefaultCompressionLevel;
    /// MS-Numpress before deflate.
    Numpress numpress = Numpress::None;
    /// Largest error of a numpress m/z value, in ppm of the value (above 0).
    double numpress_ppm = kDefaultNumpressPpm;
    /// Threads decoding, converting and compressing scans (one more writes
    /// them in order); 0 means default_threads(). The file is the same
    /// whatever the number.
    unsigned threads = 0;
    /// Only these functions (1-based numbers), in the run's order.
    std::optional<std::vector<std::uint32_t>> functions;
    /// Only scans within this retention-time window.
    std::optional<RtRange> rt_range;
    /// Only functions of this MS level (1 to kMaxMsLevel).
    std::optional<unsigned> ms_level;
    /// Also write the lock-mass functions (as calibration spectra).
    bool keep_lockmass = false;
    /// Reference m/z of the lock-mass compound: every exported scan's m/z
    /// are scaled by reference / observed, interpolated in retention time
    /// between the lock-mass scans.
    std::optional<double> lockmass;
    /// Window around the reference m/z in which the lock-mass peak is sought, Da.
    double lockmass_tolerance = kDefaultLockMassTolerance;
    /// Export uncorrected, with a warning, when the correction cannot be
    /// made; otherwise that fails the export.
    bool lockmass_optional = false;
    /// Representation written for each function.
    RepresentationChoice representation = RepresentationChoice::Auto;
    /// Layout of ion-mobility frames.
    ImsLayout ims_layout = ImsLayout::Combined;
    /// Write the spectra of the functions judged (or forced) profile as
    /// centroids (Centroider: one m/z and the summed counts per peak; an
    /// ion-mobility frame per drift bin); centroid functions pass through.
    bool centroid = false;
    /// The centroider's choices when `centroid` is set.
    CentroidOptions centroiding;
    /// Export what is there of functions whose data file is shorter than
    /// their index promises, or whose files are missing, with a warning for
    /// each; otherwise such a function fails the export, naming the
    /// function, the bytes promised and the bytes present.
    bool allow_incomplete = false;

    /// Checks every field and the fields together: an InvalidArgument
    /// error naming the first that is out of range. Every front-end calls
    /// it; export_mzml calls it too.
    Result<void> validate() const;
};

/// What an export wrote.
struct ExportSummary {
    std::size_t spectra = 0;        ///< Spectra written.
    std::size_t chromatograms = 0;  ///< Chromatograms written.
    std::uint64_t bytes = 0;        ///< Bytes of the file.
    std::size_t lock_scans = 0;           ///< Lock-mass scans measured (with a lock mass).
    std::size_t lock_scans_matched = 0;   ///< Those holding the reference peak.
    std::optional<double> factor_min;     ///< Smallest lock-mass factor applied.
    std::optional<double> factor_max;     ///< Largest lock-mass factor applied.
    /// The functions whose profile spectra were written as centroids.
    std::vector<std::uint32_t> centroided_functions;
};

/// Called as the work proceeds: scans done of the total (lock-mass scans
/// measured, then scans written). Called on the exporting thread.
using ProgressCallback = std::function<void(std::uint64_t done, std::uint64_t total)>;

/// Where an export's bytes go when not to a file of its own.
class KESTRUNE_API OutputStream {
public:
    virtual ~OutputStream() = default;
    /// Writes all of `bytes`, or fails with the reason; after a failure the
    /// export stops.
    virtual Result<void> write(std::string_view bytes) = 0;
    /// Called once after the last write: hands the bytes on.
    virtual Result<void> flush() { return {}; }
};

/// An OutputStream onto a file descriptor the caller owns (not closed),
/// e.g. standard output; `name` names it in messages ("standard output").
class KESTRUNE_API FdOutputStream final : public OutputStream {
public:
    /// Writes to `fd`, named `name` in errors.
    FdOutputStream(int fd, std::string name);
    /// Writes all bytes, retrying interrupted and partial writes.
    Result<void> write(std::string_view bytes) override;

private:
    int fd_;
    std::string name_;
};

/// Writes the run to `out` as indexed mzML. The file appears only when
/// complete (written unnamed beside it, or under a temporary name where
/// the file system cannot, and named when done; a device or FIFO is
/// written directly); an output that would land inside the run directory
/// is refused (a Refused error) before anything is read; an output that
/// cannot be written fails before the run's scans are read. The bytes
/// depend only on the run and the options, not on the number of threads.
KESTRUNE_API Result<ExportSummary> export_mzml(const Run& run, const std::filesystem::path& out,
                                               const ExportOptions& options = {},
                                               const ProgressCallback& progress = {});

/// Opens the run directory `run_dir` and writes it to `out`, checking the
/// output before the run is opened: an output refused or not writable
/// fails before anything of the run is read.
KESTRUNE_API Result<ExportSummary> export_mzml(const std::filesystem::path& run_dir, const std::filesystem::path& out,
                                               const ExportOptions& options = {},
                                               const ProgressCallback& progress = {});

/// Writes the run to a caller's stream: the same bytes as to a file.
KESTRUNE_API Result<ExportSummary> export_mzml(const Run& run, OutputStream& out, const ExportOptions& options = {},
                                               const ProgressCallback& progress = {});

/// Whether `output` is a complete export of the run directory `run_dir`
/// made with options that shape the file as `options` do, from the run's
/// files as they are now (names, sizes and modification times, recorded in
/// the file): then exporting again would write the same. False when the
/// output is missing, incomplete, from another version or made otherwise.
KESTRUNE_API Result<bool> export_up_to_date(const std::filesystem::path& run_dir, const std::filesystem::path& output,
                                            const ExportOptions& options);

/// For programs: catches interrupt, terminate, hang-up and broken pipe,
/// which then remove every temporary output file being written before the
/// program dies of them, and the file-size limit signal (SIGXFSZ), so that
/// a write meeting the limit fails with "File too large" instead of killing
/// the program silently. Call it once at start-up, before any thread.
KESTRUNE_API void install_output_signal_handlers();

/// Refuses an output path that resolves (symbolic links followed, ".." and
/// relative parts taken against the working directory, bind mounts compared
/// by device and inode) into the run directory `run_dir`, onto one of its
/// files or onto the directory itself: a Refused error naming both.
KESTRUNE_API Result<void> check_output_outside_run(const std::filesystem::path& output,
                                                   const std::filesystem::path& run_dir);

}  // namespace kestrune
