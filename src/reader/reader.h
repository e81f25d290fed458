// An opened run directory: its run-wide files, the whole function table and
// one entry per readable acquisition function. Immutable after open; scans
// and chromatogram channels are read on demand.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "fs.h"
#include "kestrune/types.h"
#include "raw/chroms.h"
#include "raw/data.h"
#include "raw/extern_inf.h"
#include "raw/func_sts.h"
#include "raw/functions_inf.h"
#include "raw/header.h"
#include "raw/index.h"

namespace kestrune::reader {

using raw::data::Encoding;
using raw::data::encoding_name;
using raw::data::index_end;
using raw::data::variant_a_record_width;

struct FunctionEntry {
    std::uint32_t number = 0;
    raw::functions_inf::FunctionInfo info;
    raw::ScanIndex idx;
    std::filesystem::path dat_path;
    std::uint64_t dat_size = 0;
    raw::FunctionCal cal;
    std::optional<raw::FuncSts> sts;
    Encoding encoding = Encoding::A;
};

class Reader {
public:
    static Result<Reader> open(const std::filesystem::path& dir);

    // One scan: one open of the data file and one read of exactly the
    // scan's bytes. Errors carry the context "{} function {} scan {}".
    Result<kestrune::Scan> decode_scan(std::uint32_t function, std::uint64_t scan) const;

    // Decodes the bytes of scan `scan` of `entry` with its decode_params
    // into `out`, reusing its arrays, and sets every other field of `out`:
    // the one decode path of single reads and cursors. Errors come without
    // context.
    static Result<void> decode_bytes(const FunctionEntry& entry, const raw::DecodeParams& params, std::uint64_t scan,
                                     Bytes bytes, kestrune::Scan& out);

    // The Trace record of a scan read.
    void trace_scan(const FunctionEntry& entry, std::uint64_t scan, std::uint64_t start, std::uint64_t length) const;

    // The parameters every scan of the function is decoded with.
    raw::DecodeParams decode_params(const FunctionEntry& entry) const;

    const raw::ExternInf& extern_inf() const noexcept { return extern_inf_; }
    const std::filesystem::path& dir() const noexcept { return dir_; }
    const std::string& name() const noexcept { return name_; }
    const std::vector<FunctionEntry>& functions() const noexcept { return functions_; }
    const raw::Header& header() const noexcept { return header_; }
    // The run header parsed from the bytes read at open with its texts as
    // written (UTF-8, else Windows-1252); header() decodes them as UTF-8.
    Result<raw::Header> header_as_written() const;
    // Every record of _FUNCTNS.INF, readable or not, in file order.
    const raw::FunctionTable& function_table() const noexcept { return table_; }

    // The first entry with that function number, or nullptr.
    const FunctionEntry* function(std::uint32_t number) const noexcept;

    // _CHROMS.INF, looked up and read on each call (open does not touch it);
    // nothing when the run has none. Errors carry "reading {}" context.
    Result<std::optional<raw::ChromsInf>> channels() const;

    // The samples of the channel with 0-based `index`, read from its
    // _CHROnnn.DAT on each call; nothing when that file does not exist.
    Result<std::optional<std::vector<raw::chroms::ChromPoint>>> read_channel(std::size_t index) const;

private:
    // The entry of one record of the function table; nothing (with a
    // warning) when its index or data file is missing.
    Result<std::optional<FunctionEntry>> open_function(const raw::functions_inf::FunctionInfo& info,
                                                       std::string_view instrument, bool debug) const;

    raw::ExternInf extern_inf_;
    std::filesystem::path dir_;
    std::string name_;
    std::vector<FunctionEntry> functions_;
    raw::Header header_;
    raw::FunctionTable table_;
    std::string header_bytes_;
};

// Consecutive scans of one function, decoded in order through one open data
// file that is read in windows of many scans. Refers to its Reader, which
// must outlive it.
class ScanRange {
public:
    // Scans first .. first + count - 1 (count clipped to the function's
    // scans) of a readable function; opens the data file.
    static Result<ScanRange> open(const Reader& reader, std::uint32_t function, std::uint64_t first,
                                  std::uint64_t count);

    std::uint64_t position() const noexcept { return next_; }
    std::uint64_t end() const noexcept { return end_; }

    // Decodes the next scan into `out`, reusing its arrays; false after the
    // last. An error carries the context "{} function {} scan {}" as
    // decode_scan's do, and the range moves on past that scan.
    Result<bool> next(kestrune::Scan& out);

private:
    ScanRange(const Reader& reader, const FunctionEntry& entry, fs::File file, std::uint64_t first,
              std::uint64_t end);
    Result<Bytes> scan_bytes(std::uint64_t scan);

    const Reader* reader_;
    const FunctionEntry* entry_;
    raw::DecodeParams params_;
    fs::File file_;
    fs::Buffer window_;
    std::uint64_t window_start_ = 0;
    std::size_t window_filled_ = 0;
    std::uint64_t next_;
    std::uint64_t end_;
};

// The display name of a run directory: its final name component, or
// "bundle.raw" when it has none (empty, ".", a root, ending in "..").
std::string run_name(const std::filesystem::path& dir);

// Flight time (us) of an ion of m/z 1 from the effective flight length (mm)
// and voltage (V), in the fixed order of operations.
double tof_constant(double lteff, double veff) noexcept;

}  // namespace kestrune::reader
