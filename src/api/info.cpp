// The run description of `kestrune info`, as text and as JSON.
#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "api/run_access.h"
#include "json.h"
#include "kestrune/info.h"
#include "raw/chroms.h"
#include "reader/reader.h"
#include "reader/representation.h"
#include "text.h"

namespace kestrune::api {

namespace {

using reader::FunctionEntry;
using reader::Reader;

std::string_view kind_name(raw::FunctionKind k) {
    switch (k) {
        case raw::FunctionKind::TofMs: return "TOF MS";
        case raw::FunctionKind::Parent: return "parent";
        case raw::FunctionKind::Msms: return "MS/MS";
        case raw::FunctionKind::Daughter: return "daughter";
        case raw::FunctionKind::Reference: return "reference";
        case raw::FunctionKind::Other: return "other";
    }
    return "other";
}

std::optional<std::pair<float, float>> rt_range(const raw::ScanIndex& idx) {
    std::optional<std::pair<float, float>> r;
    for (std::size_t i = 0; i < idx.size(); ++i) {
        const float rt = idx.rt_min(i);
        if (std::isnan(rt)) continue;
        if (!r)
            r.emplace(rt, rt);
        else
            r = std::pair(std::min(r->first, rt), std::max(r->second, rt));
    }
    return r;
}

struct RunFacts {
    const Reader& reader;
    const raw::Header& header;  // texts decoded as the command line shows them
    const raw::FunctionTable& table;
    const std::optional<raw::ChromsInf>& chroms;
};

// What `export --representation auto` writes for the function, and what
// `export --centroid` makes of it; "-" when a sample scan cannot be decoded.
std::string representation_text(const Reader& r, const FunctionEntry& e) {
    const auto judged = reader::detect_representation(r, e);
    if (!judged) return "-";
    if (*judged == Representation::Profile) return "profile (export --centroid writes centroids)";
    return std::string(representation_name(*judged));
}

std::optional<raw::FunctionKind> kind_of(const Reader& r, std::uint32_t n) {
    const auto& fns = r.extern_inf().functions;
    const auto it = fns.find(n);
    if (it == fns.end()) return std::nullopt;
    return it->second.kind;
}

std::string polarity_text(const std::optional<raw::Polarity>& p) {
    if (!p) return "";
    return *p == raw::Polarity::Positive ? "positive" : "negative";
}

using Out = std::back_insert_iterator<std::string>;

void text_line(Out out, std::string_view key, std::string_view value) { fmt::format_to(out, "{:<20}{}\n", key, value); }

void text_run(Out out, const RunFacts& f) {
    const Reader& r = f.reader;
    const raw::Header& h = f.header;
    const auto opt_line = [&](std::string_view key, const std::optional<std::string>& v) {
        text_line(out, key, v ? std::string_view(*v) : std::string_view("-"));
    };
    text_line(out, "run", r.name());
    text_line(out, "path", text::path_text(r.dir()));
    opt_line("version", h.version);
    opt_line("acquired name", h.acquired_name);
    opt_line("acquired date", h.acquired_date);
    opt_line("acquired time", h.acquired_time);
    opt_line("instrument", h.instrument);
    opt_line("operator", h.operator_);
    opt_line("sample description", h.sample_description);
    const raw::ExternInf& ext = r.extern_inf();
    text_line(out, "polarity", ext.polarity ? polarity_text(ext.polarity) : "-");
    text_line(out, "Lteff", text::plain(ext.lteff) + " mm");
    text_line(out, "Veff", text::plain(ext.veff) + " V");
    text_line(out, "pusher interval", ext.pusher_interval ? text::plain(*ext.pusher_interval) + " us" : "-");
    text_line(out, "functions",
              fmt::format("{} in _FUNCTNS.INF, {} readable", f.table.functions.size(), r.functions().size()));
}

// What the run knows of a readable function.
void text_readable(Out out, const RunFacts& f, const raw::functions_inf::FunctionInfo& info, const FunctionEntry& e) {
    const Reader& r = f.reader;
    fmt::format_to(out, "  {:<18}{}\n", "encoding", reader::encoding_name(e.encoding));
    fmt::format_to(out, "  {:<18}{}\n", "ion mobility", e.encoding == reader::Encoding::B ? "yes" : "no");
    fmt::format_to(out, "  {:<18}{}\n", "scans", e.idx.size());
    fmt::format_to(out, "  {:<18}{}\n", "representation", representation_text(r, e));
    if (const auto rt = rt_range(e.idx))
        fmt::format_to(out, "  {:<18}{} - {} min\n", "retention time", text::plain(rt->first), text::plain(rt->second));
    else
        fmt::format_to(out, "  {:<18}-\n", "retention time");
    const bool calibrated = f.header.calibration.contains(info.index);
    fmt::format_to(out, "  {:<18}{}, {} coefficients{}\n", "calibration", raw::header::cal_type_name(e.cal.cal_type),
                   e.cal.coefficients.size(), calibrated ? "" : " (no calibration line)");
    if (!e.sts) {
        fmt::format_to(out, "  {:<18}-\n", "statistics");
        return;
    }
    std::string names;
    for (const auto& c : e.sts->channels) {
        if (!names.empty()) names.append(", ");
        names.append(c.name);
    }
    fmt::format_to(out, "  {:<18}{} scans; {}\n", "statistics", e.sts->n_scans, names.empty() ? "-" : names);
}

void text_function(Out out, const RunFacts& f, const raw::functions_inf::FunctionInfo& info) {
    const Reader& r = f.reader;
    fmt::format_to(out, "\nfunction {}\n", info.index);
    const auto kind = kind_of(r, info.index);
    fmt::format_to(out, "  {:<18}{:#04x} ({})\n", "type", info.function_type,
                   kind ? kind_name(*kind) : std::string_view("no settings section"));
    fmt::format_to(out, "  {:<18}{}\n", "ms level", r.extern_inf().ms_level(info.index));
    fmt::format_to(out, "  {:<18}{} - {}\n", "m/z range", text::plain(info.mz_low), text::plain(info.mz_high));
    fmt::format_to(out, "  {:<18}{} s\n", "scan time", text::plain(info.scan_time_s));
    fmt::format_to(out, "  {:<18}{} s\n", "cycle time", text::plain(info.cycle_time_s));
    fmt::format_to(out, "  {:<18}{} s\n", "interscan delay", text::plain(info.interscan_delay_s));
    fmt::format_to(out, "  {:<18}{}\n", "TOF depth", info.tof_depth);
    fmt::format_to(out, "  {:<18}{:#04x}\n", "scan subtype", info.scan_subtype);
    fmt::format_to(out, "  {:<18}{}\n", "lock mass", info.is_lock_mass() ? "yes" : "no");
    if (const FunctionEntry* e = r.function(info.index))
        text_readable(out, f, info, *e);
    else
        fmt::format_to(out, "  {:<18}no (index or data file missing)\n", "readable");
}

std::string text_info(const RunFacts& f) {
    std::string o;
    auto out = std::back_inserter(o);
    text_run(out, f);
    for (const auto& info : f.table.functions) text_function(out, f, info);
    o.append("\nchromatogram channels\n");
    if (!f.chroms || f.chroms->channels.empty()) o.append("  -\n");
    if (f.chroms)
        for (const auto& c : f.chroms->channels)
            fmt::format_to(out, "  {:<4}{} [{}], scale {}, source type {}\n", c.index, c.name, c.units,
                           text::plain(c.scale_f), c.source_type);
    return o;
}

void json_run(JsonWriter& j, const RunFacts& f) {
    const Reader& r = f.reader;
    const raw::Header& h = f.header;
    const raw::ExternInf& ext = r.extern_inf();
    j.key("run").value(r.name());
    j.key("path").value(text::path_text(r.dir()));
    j.key("header").begin_object();
    j.key("version").value(h.version);
    j.key("acquired_name").value(h.acquired_name);
    j.key("acquired_date").value(h.acquired_date);
    j.key("acquired_time").value(h.acquired_time);
    j.key("instrument").value(h.instrument);
    j.key("operator").value(h.operator_);
    j.key("sample_description").value(h.sample_description);
    j.end_object();
    j.key("polarity");
    if (ext.polarity)
        j.value(polarity_text(ext.polarity));
    else
        j.null();
    j.key("instrument_settings").begin_object();
    j.key("lteff_mm").value(ext.lteff);
    j.key("veff_v").value(ext.veff);
    j.key("pusher_interval_us").value(ext.pusher_interval);
    j.end_object();
}

void json_readable(JsonWriter& j, const RunFacts& f, const raw::functions_inf::FunctionInfo& info,
                   const FunctionEntry& e) {
    // As the Python module names it: the lower-case letter.
    j.key("encoding").value(text::ascii_lower(reader::encoding_name(e.encoding)));
    j.key("ion_mobility").value(e.encoding == reader::Encoding::B);
    j.key("scans").value(std::uint64_t(e.idx.size()));
    const auto judged = reader::detect_representation(f.reader, e);
    j.key("representation");
    if (judged)
        j.value(representation_name(*judged));
    else
        j.null();
    j.key("centroided_by_export").value(judged && *judged == Representation::Profile);
    const auto rt = rt_range(e.idx);
    j.key("rt_min_first");
    rt ? j.value(rt->first) : j.null();
    j.key("rt_min_last");
    rt ? j.value(rt->second) : j.null();
    j.key("calibration").begin_object();
    j.key("type").value(raw::header::cal_type_name(e.cal.cal_type));
    j.key("coefficients").value(std::uint64_t(e.cal.coefficients.size()));
    j.key("from_header").value(f.header.calibration.contains(info.index));
    j.end_object();
    j.key("statistics");
    if (!e.sts) return void(j.null());
    j.begin_array();
    for (const auto& c : e.sts->channels) j.value(c.name);
    j.end_array();
}

void json_function(JsonWriter& j, const RunFacts& f, const raw::functions_inf::FunctionInfo& info) {
    const Reader& r = f.reader;
    const FunctionEntry* e = r.function(info.index);
    j.begin_object();
    j.key("number").value(std::uint64_t(info.index));
    j.key("function_type").value(std::uint64_t(info.function_type));
    const auto kind = kind_of(r, info.index);
    j.key("kind");
    if (kind)
        j.value(kind_name(*kind));
    else
        j.null();
    j.key("ms_level").value(std::uint64_t(r.extern_inf().ms_level(info.index)));
    j.key("scan_subtype").value(std::uint64_t(info.scan_subtype));
    j.key("mz_low").value(info.mz_low);
    j.key("mz_high").value(info.mz_high);
    j.key("scan_time_s").value(info.scan_time_s);
    j.key("cycle_time_s").value(info.cycle_time_s);
    j.key("interscan_delay_s").value(info.interscan_delay_s);
    j.key("tof_depth").value(std::uint64_t(info.tof_depth));
    j.key("lock_mass").value(info.is_lock_mass());
    j.key("readable").value(e != nullptr);
    if (e) json_readable(j, f, info, *e);
    j.end_object();
}

std::string json_info(const RunFacts& f) {
    JsonWriter j;
    j.begin_object();
    json_run(j, f);
    j.key("functions").begin_array();
    for (const auto& info : f.table.functions) json_function(j, f, info);
    j.end_array();
    j.key("channels").begin_array();
    if (f.chroms)
        for (const auto& c : f.chroms->channels) {
            j.begin_object();
            j.key("index").value(std::uint64_t(c.index));
            j.key("name").value(c.name);
            j.key("units").value(c.units);
            j.key("scale_f").value(c.scale_f);
            j.key("source_type").value(std::uint64_t(c.source_type));
            j.end_object();
        }
    j.end_array();
    j.end_object();
    return j.finish();
}

}  // namespace

}  // namespace kestrune::api

namespace kestrune {

Result<std::string> describe_run(const Run& run, InfoFormat format) {
    using namespace api;
    const Reader& r = reader_of(run);
    auto header = r.header_as_written();
    if (!header) return fail(std::move(header.error()));
    auto chroms = r.channels();
    if (!chroms) return fail(std::move(chroms.error()));
    const RunFacts facts{r, *header, r.function_table(), *chroms};
    return format == InfoFormat::Json ? json_info(facts) : text_info(facts);
}

}  // namespace kestrune
