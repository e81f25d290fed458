/// @file
/// Opening a run directory and reading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/config.h"
#include "kestrune/error.h"
#include "kestrune/types.h"

namespace kestrune {

class ScanCursor;

/// @cond DETAIL
namespace detail {
struct RunAccess;
}
/// @endcond

/// An opened run directory (a Waters MassLynx ".raw" folder), read-only.
///
/// Opening reads the run header, the instrument settings, the function
/// table, and the index and statistics of every function; scans and
/// chromatogram channels are read on demand, and no file stays open between
/// calls. A Run is not changed by reading; one Run may serve several threads.
///
/// @code
/// auto run = kestrune::Run::open("sample.raw");
/// if (!run) { std::cerr << run.error().to_string() << '\n'; return 1; }
/// auto scan = run->read_scan(1, 0);
/// @endcode
class KESTRUNE_API Run {
public:
    /// How a run directory is opened.
    struct OpenOptions {
        /// Take a file of the run that is a symbolic link to a regular file
        /// (as git-annex and DataLad keep data) for the file itself.
        bool follow_links = true;
    };
    /// Opens the run directory `dir`. Fails when the run header, the
    /// instrument settings or the function table cannot be found or read,
    /// or when a function's index file is malformed; a function whose index
    /// or data file is missing is kept unreadable. The directory is listed
    /// once.
    static Result<Run> open(const std::filesystem::path& dir);
    /// Opens the run directory `dir` with these options.
    static Result<Run> open(const std::filesystem::path& dir, const OpenOptions& options);

    /// Moves the run; the source is left empty and may only be destroyed or assigned to.
    Run(Run&&) noexcept;
    /// Moves the run.
    Run& operator=(Run&&) noexcept;
    ~Run();

    /// Display name: the directory's final name component ("bundle.raw" when it has none).
    const std::string& name() const noexcept;
    /// The directory as passed to open.
    const std::filesystem::path& path() const noexcept;
    /// The run header.
    const Header& header() const noexcept;
    /// The instrument settings.
    const Settings& settings() const noexcept;
    /// Every function of the function table, readable or not, in table order.
    const std::vector<Function>& functions() const noexcept;
    /// The function with this number, or nullptr.
    const Function* function(std::uint32_t number) const noexcept;
    /// The per-scan statistics of a function; nothing when it has none.
    std::optional<Statistics> statistics(std::uint32_t function) const;

    /// Decodes scan `scan` (0-based) of function `function` (1-based): one
    /// open and one read of exactly the scan's bytes.
    Result<Scan> read_scan(std::uint32_t function, std::uint64_t scan) const;

    /// A cursor over `count` scans of a function from scan `first` (to the
    /// last scan by default), reading the data file through one open file.
    /// Fails when the function is not readable, when the range does not lie
    /// within its scans, or when the data file cannot be opened. The cursor
    /// may outlive the Run: it keeps what it reads.
    Result<ScanCursor> scans(std::uint32_t function, std::uint64_t first = 0,
                             std::uint64_t count = std::numeric_limits<std::uint64_t>::max()) const;

    /// The retention time (minutes) of every scan of a function, from its
    /// index; empty for a function that is not readable.
    std::vector<float> retention_times(std::uint32_t function) const;
    /// Whether a readable function's spectra are profile or centroid,
    /// judged from up to 12 scans spread over it: profile when the median
    /// spacing of neighbouring m/z values (each drift time of an
    /// ion-mobility frame on its own), relative to the m/z, is below
    /// 2.5e-4. Fails when a sampled scan cannot be decoded or the function
    /// is not readable.
    Result<Representation> representation(std::uint32_t function) const;
    /// The chromatogram channels of _CHROMS.INF, read on each call; empty
    /// when the run has none.
    Result<std::vector<Channel>> channels() const;
    /// The samples of the channel with 0-based `index`, read on each call.
    /// Fails when its sample file is missing or malformed.
    Result<std::vector<ChromPoint>> read_channel(std::size_t index) const;

private:
    struct Impl;
    explicit Run(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
    friend class ScanCursor;
    friend struct detail::RunAccess;
};

/// Consecutive scans of one function, decoded in order from one open data
/// file into a caller's Scan, whose arrays keep their storage: a loop over a
/// function allocates only while the arrays grow.
///
/// @code
/// auto cursor = run->scans(1);
/// kestrune::Scan scan;
/// while (true) {
///     auto more = cursor->next(scan);
///     if (!more) { std::cerr << more.error().to_string() << '\n'; break; }
///     if (!*more) break;
///     use(scan);
/// }
/// @endcode
class KESTRUNE_API ScanCursor {
public:
    /// Moves the cursor; the source is left empty.
    ScanCursor(ScanCursor&&) noexcept;
    /// Moves the cursor.
    ScanCursor& operator=(ScanCursor&&) noexcept;
    ~ScanCursor();

    /// Decodes the next scan into `out`: true when it did, false after the
    /// last scan of the range. A failed scan is an error; the cursor then
    /// stands on the following scan.
    Result<bool> next(Scan& out);
    /// The number of the scan that next decodes.
    std::uint64_t position() const noexcept;
    /// One past the last scan of the range.
    std::uint64_t end() const noexcept;

private:
    struct Impl;
    explicit ScanCursor(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
    friend class Run;
};

/// The library's version, "MAJOR.MINOR.PATCH", as built (compare with
/// KESTRUNE_VERSION_STRING of the headers).
KESTRUNE_API const char* version() noexcept;

}  // namespace kestrune
