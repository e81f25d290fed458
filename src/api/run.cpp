// The public API (include/kestrune/): a Run is a Reader with its header,
// settings and function list converted once into the public value types.
#include "kestrune/run.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "api/run_access.h"
#include "reader/reader.h"
#include "reader/representation.h"
#include "text.h"

namespace kestrune {

namespace {

Calibration calibration_of(const raw::FunctionCal& cal) {
    return {cal.cal_type == raw::CalType::T1 ? Calibration::Type::T1 : Calibration::Type::T0, cal.coefficients};
}

Header header_of(const raw::Header& h) {
    Header out{h.version, h.acquired_name, h.acquired_date, h.acquired_time, h.instrument, h.operator_,
               h.sample_description, {}};
    for (const auto& [number, cal] : h.calibration) out.calibration.emplace(number, calibration_of(cal));
    return out;
}

Settings settings_of(const raw::ExternInf& x) {
    Settings out;
    out.lteff_mm = x.lteff;
    out.veff_v = x.veff;
    out.pusher_interval_us = x.pusher_interval;
    if (x.polarity) out.polarity = *x.polarity == raw::Polarity::Positive ? Polarity::Positive : Polarity::Negative;
    for (const auto& [number, f] : x.functions)
        out.functions.emplace(number, FunctionSettings{f.number, static_cast<FunctionKind>(f.kind), f.start_mass,
                                                       f.end_mass, f.set_mass, f.adc_pusher_frequency});
    return out;
}

Function function_of(const reader::Reader& r, const raw::functions_inf::FunctionInfo& info) {
    Function f;
    f.number = info.index;
    f.function_type = info.function_type;
    f.scan_subtype = info.scan_subtype;
    f.cycle_time_s = info.cycle_time_s;
    f.interscan_delay_s = info.interscan_delay_s;
    f.scan_time_s = info.scan_time_s;
    f.tof_depth = info.tof_depth;
    f.mz_low = info.mz_low;
    f.mz_high = info.mz_high;
    f.lock_mass = info.is_lock_mass();
    f.ms_level = r.extern_inf().ms_level(info.index);
    if (const reader::FunctionEntry* e = r.function(info.index)) {
        f.readable = true;
        f.encoding = e->encoding;
        f.scans = e->idx.size();
        f.calibration = calibration_of(e->cal);
        f.calibrated = r.header().calibration.contains(info.index);
        f.has_statistics = e->sts.has_value();
    }
    return f;
}

}  // namespace

struct Run::Impl {
    // Shared with the cursors, which may outlive the Run.
    std::shared_ptr<const reader::Reader> reader;
    Header header;
    Settings settings;
    std::vector<Function> functions;
};

struct ScanCursor::Impl {
    std::shared_ptr<const reader::Reader> reader;  // what `range` reads stays alive with the cursor
    reader::ScanRange range;
};

Run::Run(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Run::Run(Run&&) noexcept = default;
Run& Run::operator=(Run&&) noexcept = default;
Run::~Run() = default;

Result<Run> Run::open(const std::filesystem::path& dir) { return open(dir, OpenOptions{}); }

Result<Run> Run::open(const std::filesystem::path& dir, const OpenOptions& options) {
    auto opened = reader::Reader::open(dir, options.follow_links);
    if (!opened) return fail(std::move(opened.error()));
    auto impl = std::make_unique<Impl>(
        Impl{std::make_shared<const reader::Reader>(std::move(*opened)), {}, {}, {}});
    const reader::Reader& r = *impl->reader;
    impl->header = header_of(r.header());
    impl->settings = settings_of(r.extern_inf());
    impl->functions.reserve(r.function_table().functions.size());
    for (const auto& info : r.function_table().functions) impl->functions.push_back(function_of(r, info));
    return Run(std::move(impl));
}

const std::string& Run::name() const noexcept { return impl_->reader->name(); }
const std::filesystem::path& Run::path() const noexcept { return impl_->reader->dir(); }
const Header& Run::header() const noexcept { return impl_->header; }
const Settings& Run::settings() const noexcept { return impl_->settings; }
const std::vector<Function>& Run::functions() const noexcept { return impl_->functions; }

const Function* Run::function(std::uint32_t number) const noexcept {
    // Functions follow the function table, so their numbers ascend.
    const auto& fns = impl_->functions;
    const auto it = std::lower_bound(fns.begin(), fns.end(), number,
                                     [](const Function& f, std::uint32_t n) { return f.number < n; });
    return it != fns.end() && it->number == number ? &*it : nullptr;
}

std::optional<Statistics> Run::statistics(std::uint32_t function) const {
    const reader::FunctionEntry* e = impl_->reader->function(function);
    if (e == nullptr || !e->sts) return std::nullopt;
    const raw::FuncSts& sts = *e->sts;
    Statistics out;
    out.channels.reserve(sts.channels.size());
    for (const auto& c : sts.channels) {
        StatisticsChannel channel{c.name, {}};
        channel.values.reserve(sts.n_scans);
        for (std::size_t s = 0; s < sts.n_scans; ++s) channel.values.push_back(sts.value_at(c, s));
        out.channels.push_back(std::move(channel));
    }
    return out;
}

Result<Scan> Run::read_scan(std::uint32_t function, std::uint64_t scan) const {
    return impl_->reader->decode_scan(function, scan);
}

std::vector<float> Run::retention_times(std::uint32_t function) const {
    std::vector<float> out;
    const reader::FunctionEntry* e = impl_->reader->function(function);
    if (e == nullptr) return out;
    out.reserve(e->idx.size());
    for (std::size_t s = 0; s < e->idx.size(); ++s) out.push_back(e->idx.rt_min(s));
    return out;
}

Result<Representation> Run::representation(std::uint32_t function) const {
    const reader::FunctionEntry* e = impl_->reader->function(function);
    if (e == nullptr)
        return fail(Error::invalid_argument(fmt::format("function {} is not a readable function of {}", function,
                                                        text::quoted(impl_->reader->name()))));
    return reader::detect_representation(*impl_->reader, *e);
}

Result<ScanCursor> Run::scans(std::uint32_t function, std::uint64_t first, std::uint64_t count) const {
    auto range = reader::ScanRange::open(*impl_->reader, function, first, count);
    if (!range) return fail(std::move(range.error()));
    return ScanCursor(std::make_unique<ScanCursor::Impl>(ScanCursor::Impl{impl_->reader, std::move(*range)}));
}

Result<std::vector<Channel>> Run::channels() const {
    auto chroms = impl_->reader->channels();
    if (!chroms) return fail(std::move(chroms.error()));
    std::vector<Channel> out;
    if (*chroms)
        for (const auto& c : (*chroms)->channels) out.push_back({c.index, c.name, c.units, c.scale_f, c.source_type});
    return out;
}

Result<std::vector<ChromPoint>> Run::read_channel(std::size_t index) const {
    auto points = impl_->reader->read_channel(index);
    if (!points) return fail(std::move(points.error()));
    if (!*points)
        return fail(Error::parse(
            fmt::format("{} not found in {}", raw::chroms::channel_file_name(index), impl_->reader->dir())));
    std::vector<ChromPoint> out;
    out.reserve((*points)->size());
    for (const auto& p : **points) out.push_back({p.rt_min, p.value});
    return out;
}

ScanCursor::ScanCursor(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
ScanCursor::ScanCursor(ScanCursor&&) noexcept = default;
ScanCursor& ScanCursor::operator=(ScanCursor&&) noexcept = default;
ScanCursor::~ScanCursor() = default;

Result<bool> ScanCursor::next(Scan& out) { return impl_->range.next(out); }
std::uint64_t ScanCursor::position() const noexcept { return impl_->range.position(); }
std::uint64_t ScanCursor::end() const noexcept { return impl_->range.end(); }

const char* version() noexcept { return KESTRUNE_VERSION_STRING; }

const reader::Reader& detail::RunAccess::reader(const Run& run) noexcept { return *run.impl_->reader; }

}  // namespace kestrune
