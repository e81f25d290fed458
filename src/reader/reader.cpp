#include "reader/reader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "fs.h"
#include "log.h"
#include "reader/lookup.h"
#include "text.h"

namespace kestrune::reader {

namespace {

template <class T>
Result<T> with_reading_context(Result<T> r, const std::filesystem::path& path) {
    if (r) return r;
    return fail(Error::context(fmt::format("reading {}", path), std::move(r.error())));
}

std::string number_list(const std::map<std::uint32_t, raw::FunctionCal>& calibration) {
    std::string out = "[";
    bool first = true;
    for (const auto& [number, cal] : calibration) {
        if (!first) out += ", ";
        out += std::to_string(number);
        first = false;
    }
    out += ']';
    return out;
}

}  // namespace

std::string run_name(const std::filesystem::path& dir) {
    // The last component that is neither empty nor "."; none, or "..", gives
    // the fallback name.
    const std::string& s = dir.native();
    std::string_view last;
    std::size_t pos = 0;
    while (pos <= s.size()) {
        const std::size_t end = std::min(s.find('/', pos), s.size());
        const std::string_view part(s.data() + pos, end - pos);
        if (!part.empty() && part != ".") last = part;
        pos = end + 1;
    }
    if (last.empty() || last == "..") return "bundle.raw";
    return text::lossy_utf8(last);
}

double tof_constant(double lteff, double veff) noexcept {
    const double l = lteff * 0.001;
    const double e = veff * 3.2043532e-19;
    const double r = 1.6726219e-27 / e;
    return std::sqrt(r) * l * 1000000.0;
}

const FunctionEntry* Reader::function(std::uint32_t number) const noexcept {
    for (const auto& f : functions_)
        if (f.number == number) return &f;
    return nullptr;
}

Result<std::optional<FunctionEntry>> Reader::open_function(const raw::functions_inf::FunctionInfo& info,
                                                           std::string_view instrument, bool debug) const {
    const std::filesystem::path& dir = dir_;
    const std::uint32_t n = info.index;
    const std::string idx_name = function_file_name(n, ".IDX");
    const std::string dat_name = function_file_name(n, ".DAT");
    auto idx_path = find_file(dir, idx_name);
    if (!idx_path) return fail(std::move(idx_path.error()));
    auto dat_path = find_file(dir, dat_name);
    if (!dat_path) return fail(std::move(dat_path.error()));
    if (!*idx_path || !*dat_path) {
        log_warn(kTarget, "function {}: {} or {} missing in {}; skipping function", n, idx_name, dat_name, dir);
        return std::optional<FunctionEntry>();
    }

    auto idx = with_reading_context(raw::ScanIndex::from_path(**idx_path), **idx_path);
    if (!idx) return fail(std::move(idx.error()));
    auto dat_size = fs::file_size(**dat_path);
    if (!dat_size) return fail(std::move(dat_size.error()));

    FunctionEntry entry;
    entry.number = n;
    entry.info = info;
    entry.idx = std::move(*idx);
    entry.dat_path = std::move(**dat_path);
    entry.dat_size = *dat_size;
    raw::data::EncodingChoice choice = raw::data::choose_encoding(entry.idx, instrument, debug);
    entry.encoding = choice.encoding;
    if (const auto cal = header_.calibration.find(n); cal != header_.calibration.end())
        entry.cal = cal->second;
    else
        log_warn(kTarget, "function {}: no Cal Function line in _HEADER.TXT; m/z is uncalibrated", n);

    auto sts_path = find_file(dir, function_file_name(n, ".STS"));
    if (!sts_path) return fail(std::move(sts_path.error()));
    if (!*sts_path) {
        log_debug(kTarget, "function {}: no STS file", n);
    } else if (auto sts = raw::FuncSts::from_path(**sts_path)) {
        entry.sts = std::move(*sts);
    } else {
        log_warn(kTarget, "function {}: ignoring unreadable {}: {}", n, **sts_path, sts.error().to_string());
    }

    if (const auto end = index_end(entry.idx, entry.encoding); end && *end > entry.dat_size)
        log_warn(kTarget, "function {}: index addresses {} bytes but {} is {} bytes", n, *end, entry.dat_path,
                 entry.dat_size);
    if (debug)
        log_debug(kTarget,
                  "function {}: {} scans, m/z {}-{}, subtype {:#04x}{}, encoding {} ({}), calibration {} with {} "
                  "coefficients, DAT {} bytes",
                  n, entry.idx.size(), text::plain(info.mz_low), text::plain(info.mz_high), info.scan_subtype,
                  info.is_lock_mass() ? " (lock mass)" : "", encoding_name(entry.encoding), choice.note,
                  raw::header::cal_type_name(entry.cal.cal_type), entry.cal.coefficients.size(), entry.dat_size);
    return std::optional<FunctionEntry>(std::move(entry));
}

Result<Reader> Reader::open(const std::filesystem::path& dir_in) {
    Reader r;
    r.dir_ = dir_in;
    const std::filesystem::path& dir = r.dir_;
    log_debug(kTarget, "opening {}", dir);

    auto header_path = required_file(dir, "_HEADER.TXT");
    if (!header_path) return fail(std::move(header_path.error()));
    // Header::from_path's steps, keeping the bytes for header_as_written.
    auto header_bytes = with_reading_context(fs::read_file(*header_path), *header_path);
    if (!header_bytes) return fail(std::move(header_bytes.error()));
    auto header = with_reading_context(raw::Header::from_str(text::lossy_utf8(*header_bytes)), *header_path);
    if (!header) return fail(std::move(header.error()));
    r.header_ = std::move(*header);
    r.header_bytes_.assign(header_bytes->begin(), header_bytes->end());

    auto extern_path = required_file(dir, "_extern.inf");
    if (!extern_path) return fail(std::move(extern_path.error()));
    auto extern_inf = with_reading_context(raw::ExternInf::from_path(*extern_path), *extern_path);
    if (!extern_inf) return fail(std::move(extern_inf.error()));
    r.extern_inf_ = std::move(*extern_inf);

    auto table_path = required_file(dir, "_FUNCTNS.INF");
    if (!table_path) return fail(std::move(table_path.error()));
    auto table = with_reading_context(raw::FunctionTable::from_path(*table_path), *table_path);
    if (!table) return fail(std::move(table.error()));

    const std::string_view instrument = r.header_.instrument ? std::string_view(*r.header_.instrument) : "";
    const bool debug = log::enabled(log::Level::Debug);
    if (debug) {
        const auto& x = r.extern_inf_;
        log_debug(kTarget,
                  "instrument {}; Lteff {} mm, Veff {} V, pusher interval {}; {} functions in _FUNCTNS.INF; "
                  "T1 calibration for functions {}",
                  text::quoted(instrument), text::plain(x.lteff), text::plain(x.veff),
                  x.pusher_interval ? text::plain(*x.pusher_interval) + " us" : std::string("absent"),
                  table->functions.size(), number_list(r.header_.calibration));
    }

    r.functions_.reserve(table->functions.size());
    for (const auto& info : table->functions) {
        auto entry = r.open_function(info, instrument, debug);
        if (!entry) return fail(std::move(entry.error()));
        if (*entry) r.functions_.push_back(std::move(**entry));
    }

    r.name_ = run_name(dir);
    log_debug(kTarget, "opened {}: {} of {} functions readable", r.name_, r.functions_.size(),
              table->functions.size());
    r.table_ = std::move(*table);
    return r;
}

Result<void> Reader::decode_bytes(const FunctionEntry& entry, const raw::DecodeParams& params, std::uint64_t scan,
                                  Bytes bytes, kestrune::Scan& out) {
    auto peaks = raw::data::decode_into(entry.encoding, bytes, params,
                                        {out.mz, out.intensity, out.drift_time_ms});
    if (!peaks) return fail(std::move(peaks.error()));
    out.function = entry.number;
    out.index = scan;
    out.rt_min = entry.idx.rt_min(scan);
    out.ion_mobility = entry.encoding == Encoding::B;
    out.collision_energy = entry.sts ? entry.sts->collision_energy(scan) : std::nullopt;
    out.etd_fragmentation_mode = entry.sts ? entry.sts->etd_fragmentation_mode(scan) : std::nullopt;
    return {};
}

void Reader::trace_scan(const FunctionEntry& entry, std::uint64_t scan, std::uint64_t start,
                        std::uint64_t length) const {
    log_trace(kTarget, "function {} scan {}: {} bytes {}..{} of {}, RT {} min", entry.number, scan,
              encoding_name(entry.encoding), start, start + length, entry.dat_path, text::plain(entry.idx.rt_min(scan)));
}

Result<kestrune::Scan> Reader::decode_scan(std::uint32_t function, std::uint64_t scan) const {
    auto decode = [&]() -> Result<kestrune::Scan> {
        const FunctionEntry* entry = this->function(function);
        if (entry == nullptr) return parse_error(fmt::format("function {} not present in bundle", function));
        if (scan >= entry->idx.size()) return parse_error(fmt::format("function {} scan {} out of range", function, scan));
        const auto [start, length] = raw::data::scan_bytes(entry->idx, scan, entry->encoding, entry->dat_size);
        trace_scan(*entry, scan, start, length);
        auto bytes = fs::read_range(entry->dat_path, start, length);
        if (!bytes) return fail(std::move(bytes.error()));
        kestrune::Scan out;
        if (auto decoded = decode_bytes(*entry, decode_params(*entry), scan, *bytes, out); !decoded)
            return fail(std::move(decoded.error()));
        return out;
    };
    auto result = decode();
    if (!result)
        return fail(Error::context(fmt::format("{} function {} scan {}", dir_, function, scan), std::move(result.error())));
    return result;
}

raw::DecodeParams Reader::decode_params(const FunctionEntry& entry) const {
    raw::DecodeParams params;
    params.cal = entry.cal;
    params.tof_constant = tof_constant(extern_inf_.lteff, extern_inf_.veff);
    params.mz_low = static_cast<double>(entry.info.mz_low);
    params.mz_high = static_cast<double>(entry.info.mz_high);
    params.scan_time_ms = static_cast<double>(entry.info.scan_time_s) * 1000.0;
    return params;
}

Result<raw::Header> Reader::header_as_written() const {
    return raw::Header::from_bytes_as_written(header_bytes_);
}

Result<std::optional<raw::ChromsInf>> Reader::channels() const {
    auto path = find_file(dir_, "_CHROMS.INF");
    if (!path) return fail(std::move(path.error()));
    if (!*path) return std::optional<raw::ChromsInf>();
    auto chroms = with_reading_context(raw::ChromsInf::from_path(**path), **path);
    if (!chroms) return fail(std::move(chroms.error()));
    return std::optional<raw::ChromsInf>(std::move(*chroms));
}

Result<std::optional<std::vector<raw::chroms::ChromPoint>>> Reader::read_channel(std::size_t index) const {
    using Points = std::vector<raw::chroms::ChromPoint>;
    auto path = find_file(dir_, raw::chroms::channel_file_name(index));
    if (!path) return fail(std::move(path.error()));
    if (!*path) return std::optional<Points>();
    auto points = with_reading_context(raw::chroms::read_chro_dat(**path), **path);
    if (!points) return fail(std::move(points.error()));
    return std::optional<Points>(std::move(*points));
}

namespace {

// Bytes read ahead of a scan when the window is refilled: many scans a read.
constexpr std::uint64_t kWindow = std::uint64_t{4} << 20;

}  // namespace

ScanRange::ScanRange(const Reader& reader, const FunctionEntry& entry, fs::File file, std::uint64_t first,
                     std::uint64_t end)
    : reader_(&reader),
      entry_(&entry),
      params_(reader.decode_params(entry)),
      file_(std::move(file)),
      next_(first),
      end_(end) {}

Result<ScanRange> ScanRange::open(const Reader& reader, std::uint32_t function, std::uint64_t first,
                                  std::uint64_t count) {
    const FunctionEntry* entry = reader.function(function);
    auto in_context = [&](Error e) {
        return fail(Error::context(fmt::format("{} function {}", reader.dir(), function), std::move(e)));
    };
    if (entry == nullptr)
        return in_context(Error::parse(fmt::format("function {} not present in bundle", function)));
    const std::uint64_t n = entry->idx.size();
    if (first > n) return in_context(Error::parse(fmt::format("function {} scan {} out of range", function, first)));
    const std::uint64_t end = first + std::min(count, n - first);
    auto file = fs::File::open(entry->dat_path);
    if (!file) return in_context(std::move(file.error()));
    return ScanRange(reader, *entry, std::move(*file), first, end);
}

Result<Bytes> ScanRange::scan_bytes(std::uint64_t scan) {
    const auto [start, length] = raw::data::scan_bytes(entry_->idx, scan, entry_->encoding, entry_->dat_size);
    reader_->trace_scan(*entry_, scan, start, length);
    if (length == 0) return Bytes();
    if (start < window_start_ || start + length > window_start_ + window_filled_) {
        // Scans lie back to back: read this one and those after it that fit
        // the window, up to the size the file had at open.
        const std::uint64_t want = std::max(length, std::min(kWindow, entry_->dat_size - start));
        if (want > std::numeric_limits<std::size_t>::max() / 2) return fail(Error::io(ENOMEM));
        if (window_.size() < want) window_ = fs::Buffer(static_cast<std::size_t>(want));
        window_start_ = start;
        window_filled_ = 0;
        auto got = file_.read_full(window_.data(), static_cast<std::size_t>(want), static_cast<off_t>(start));
        if (!got) return fail(std::move(got.error()));
        window_filled_ = *got;
        if (window_filled_ < length) return fail(Error::io_short_read());
    }
    return Bytes(window_.data() + (start - window_start_), static_cast<std::size_t>(length));
}

Result<bool> ScanRange::next(kestrune::Scan& out) {
    if (next_ >= end_) return false;
    const std::uint64_t scan = next_++;
    auto bytes = scan_bytes(scan);
    Result<void> decoded = bytes ? Reader::decode_bytes(*entry_, params_, scan, *bytes, out)
                                 : Result<void>(fail(std::move(bytes.error())));
    if (!decoded)
        return fail(Error::context(fmt::format("{} function {} scan {}", reader_->dir(), entry_->number, scan),
                                   std::move(decoded.error())));
    return true;
}

}  // namespace kestrune::reader
