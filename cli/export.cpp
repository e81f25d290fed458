#include "export.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <variant>

#include <fmt/format.h>

#include "lockmass.h"
#include "log.h"
#include "mzml_writer.h"
#include "output_file.h"
#include "progress.h"
#include "reader/reader.h"
#include "text.h"

namespace kestrune::cli {

namespace {

constexpr const char* kTarget = "kestrune::cli";

using reader::DecodedSpectrum;
using reader::FunctionEntry;
using reader::Reader;

struct SelectedFunction {
    const FunctionEntry* entry;
    std::uint8_t ms_level;
    std::optional<double> set_mass;
};

struct SelectedScan {
    float rt_min;
    std::uint32_t function_slot;  // index into the selected functions
    std::uint64_t scan;
};

// Retention-time order; scans without a time go last, ties keep function
// and scan order.
bool scan_before(const SelectedScan& a, const SelectedScan& b) {
    const bool na = std::isnan(a.rt_min), nb = std::isnan(b.rt_min);
    if (na != nb) return nb;
    if (!na && a.rt_min != b.rt_min) return a.rt_min < b.rt_min;
    if (a.function_slot != b.function_slot) return a.function_slot < b.function_slot;
    return a.scan < b.scan;
}

// The m/z and intensity arrays of a decoded scan, whatever its encoding.
struct Arrays {
    const std::vector<double>* mz;
    const std::vector<float>* intensity;
    const std::vector<double>* drift = nullptr;
};
Arrays arrays_of(const DecodedSpectrum& d) {
    if (const auto* s = std::get_if<raw::data::Spectrum>(&d.data)) return {&s->mz, &s->intensity};
    const auto& ims = std::get<raw::data::ImsSpectrum>(d.data);
    return {&ims.mz, &ims.intensity, &ims.drift_time_ms};
}

Result<std::vector<SelectedFunction>> select_functions(const Reader& r, const ExportOptions& o) {
    if (o.functions) {
        for (std::uint32_t n : *o.functions) {
            const FunctionEntry* e = r.function(n);
            if (!e) return parse_error(fmt::format("function {} not found", n));
            if (e->info.is_lock_mass() && !o.keep_lockmass)
                return parse_error(
                    fmt::format("function {} is a lock-mass function; add --keep-lockmass to export it", n));
        }
    }
    std::vector<SelectedFunction> out;
    for (const FunctionEntry& e : r.functions()) {
        if (o.functions && std::find(o.functions->begin(), o.functions->end(), e.number) == o.functions->end())
            continue;
        if (e.info.is_lock_mass() && !o.keep_lockmass) continue;
        const std::uint8_t level = r.extern_inf().ms_level(e.number);
        if (o.ms_level && level != *o.ms_level) continue;
        std::optional<double> set_mass;
        if (const auto it = r.extern_inf().functions.find(e.number); it != r.extern_inf().functions.end())
            set_mass = it->second.set_mass;
        out.push_back({&e, level, set_mass});
    }
    return out;
}

struct LockResult {
    LockMassCorrection correction;
    std::size_t scans = 0;
};

Result<LockResult> measure_lock_mass(const Reader& r, const ExportOptions& o, Progress& progress,
                                     std::uint64_t& done) {
    LockResult result;
    std::vector<LockPoint> points;
    bool any_function = false;
    for (const FunctionEntry& e : r.functions()) {
        if (!e.info.is_lock_mass()) continue;
        any_function = true;
        for (std::uint64_t s = 0; s < e.idx.size(); ++s) {
            auto decoded = r.decode_scan(e.number, s);
            if (!decoded) return std::unexpected(std::move(decoded.error()));
            const Arrays a = arrays_of(*decoded);
            ++result.scans;
            progress.update(++done);
            const auto peak = find_lock_peak(*a.mz, *a.intensity, *o.lockmass, o.lockmass_tolerance);
            if (!peak || std::isnan(decoded->rt_min)) continue;
            const double observed = (*a.mz)[*peak];
            points.push_back({decoded->rt_min, observed, *o.lockmass / observed});
            log_debug(kTarget, "lock mass: function {} scan {} at {} min: {} observed, factor {}", e.number, s,
                      text::plain(decoded->rt_min), text::plain(observed), text::plain(*o.lockmass / observed));
        }
    }
    if (!any_function)
        log_warn(kTarget, "--lockmass: the run has no lock-mass function; m/z values are not corrected");
    else if (points.empty())
        log_warn(kTarget, "--lockmass: no lock-mass scan has a peak within {} of {}; m/z values are not corrected",
                 text::plain(o.lockmass_tolerance), text::plain(*o.lockmass));
    result.correction = LockMassCorrection(std::move(points));
    return result;
}

struct ChannelChromatogram {
    std::string id;
    raw::chroms::ChromChannel channel;
    std::vector<float> time;
    std::vector<float> values;
};

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

// The array and chromatogram terms that fit a channel's units.
void describe_channel(const ChannelChromatogram& c, ChromatogramEntry& entry) {
    const std::string units = lower_ascii(text::trim(c.channel.units));
    static const std::set<std::string> pressure{"bar", "mbar", "psi", "psig", "pa", "kpa", "mpa"};
    static const std::set<std::string> temperature{"c", "\xC2\xB0" "c", "degc", "k"};
    entry.values_are_64 = false;
    entry.values32 = c.values;
    if (pressure.contains(units)) {
        entry.type = term::kPressureChromatogram;
        entry.value_array = term::kPressureArray;
    } else if (units.find("/min") != std::string::npos) {
        entry.type = term::kFlowRateChromatogram;
        entry.value_array = term::kFlowRateArray;
    } else if (temperature.contains(units)) {
        entry.value_array = term::kTemperatureArray;
    } else {
        entry.value_array = term::kNonStandardArray;
        entry.value_array_text = c.channel.name;
    }
    entry.user_params.push_back({"channel name", c.channel.name});
    if (!c.channel.units.empty()) entry.user_params.push_back({"units", c.channel.units});
    entry.user_params.push_back({"channel index", fmt::format("{}", c.channel.index)});
    entry.user_params.push_back({"scale factor", text::plain(c.channel.scale_f)});
    entry.user_params.push_back({"source type", fmt::format("{}", c.channel.source_type)});
}

Result<std::vector<ChannelChromatogram>> load_channel_chromatograms(const Reader& r, const ExportOptions& o) {
    std::vector<ChannelChromatogram> out;
    auto chroms = r.channels();
    if (!chroms) return std::unexpected(std::move(chroms.error()));
    if (!*chroms) return out;
    for (const auto& ch : (*chroms)->channels) {
        auto points = r.read_channel(ch.index);
        if (!points) return std::unexpected(std::move(points.error()));
        if (!*points) {
            log_warn(kTarget, "channel {} ({}): {} missing; channel left out", ch.index, text::quoted(ch.name),
                     raw::chroms::channel_file_name(ch.index));
            continue;
        }
        ChannelChromatogram c{ch.name, ch, {}, {}};
        for (const auto& p : **points) {
            if (o.rt_range && !o.rt_range->contains(p.rt_min)) continue;
            c.time.push_back(p.rt_min);
            c.values.push_back(p.value);
        }
        // A time window that misses the channel entirely leaves it out.
        if (o.rt_range && c.time.empty() && !(*points)->empty()) continue;
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace

std::string native_id(std::uint32_t function, std::uint64_t scan) {
    return fmt::format("function={} process=0 scan={}", function, scan + 1);
}

std::string xml_id(std::string_view name) {
    std::string out;
    for (char c : name) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                          c == '-' || c == '.';
        out.push_back(keep ? c : '_');
    }
    if (out.empty() || !((out[0] >= 'A' && out[0] <= 'Z') || (out[0] >= 'a' && out[0] <= 'z') || out[0] == '_'))
        out.insert(out.begin(), '_');
    return out;
}

std::optional<std::string> timestamp(std::string_view date, std::string_view time) {
    static constexpr std::string_view kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                   "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const auto digits = [](std::string_view s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    // d-Mon-yyyy or dd-Mon-yyyy
    const std::size_t d1 = date.find('-');
    const std::size_t d2 = d1 == std::string_view::npos ? d1 : date.find('-', d1 + 1);
    if (d2 == std::string_view::npos) return std::nullopt;
    const std::string_view day = date.substr(0, d1), mon = date.substr(d1 + 1, d2 - d1 - 1),
                           year = date.substr(d2 + 1);
    if (!digits(day) || day.size() > 2 || !digits(year) || year.size() != 4 || mon.size() != 3) return std::nullopt;
    const std::string upper = text::ascii_upper(mon);
    const auto it = std::find(std::begin(kMonths), std::end(kMonths), upper);
    if (it == std::end(kMonths)) return std::nullopt;
    const int month = int(it - std::begin(kMonths)) + 1;
    const int d = std::stoi(std::string(day));
    if (d < 1 || d > 31) return std::nullopt;
    // hh:mm:ss
    if (time.size() != 8 || time[2] != ':' || time[5] != ':' || !digits(time.substr(0, 2)) ||
        !digits(time.substr(3, 2)) || !digits(time.substr(6, 2)))
        return std::nullopt;
    if (std::stoi(std::string(time.substr(0, 2))) > 23 || std::stoi(std::string(time.substr(3, 2))) > 59 ||
        std::stoi(std::string(time.substr(6, 2))) > 60)
        return std::nullopt;
    return fmt::format("{}-{:02}-{:02}T{}", year, month, d, time);
}

std::string file_uri(const std::filesystem::path& absolute) {
    std::string out = "file://";
    for (unsigned char c : absolute.native()) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == '/';
        if (keep)
            out.push_back(char(c));
        else
            fmt::format_to(std::back_inserter(out), "%{:02X}", c);
    }
    return out;
}

Result<ExportReport> export_mzml(const ExportOptions& o) {
    if (o.lockmass && !(std::isfinite(*o.lockmass) && *o.lockmass > 0))
        return parse_error(fmt::format("--lockmass: {} is not a positive m/z", text::plain(*o.lockmass)));
    if (!(std::isfinite(o.lockmass_tolerance) && o.lockmass_tolerance > 0))
        return parse_error(
            fmt::format("--lockmass-tolerance: {} is not a positive number of Da", text::plain(o.lockmass_tolerance)));

    auto opened = Reader::open(o.run);
    if (!opened) return std::unexpected(std::move(opened.error()));
    const Reader& r = *opened;

    auto selected = select_functions(r, o);
    if (!selected) return std::unexpected(std::move(selected.error()));
    const std::vector<SelectedFunction>& functions = *selected;

    std::vector<SelectedScan> scans;
    std::vector<std::size_t> scans_per_function(functions.size(), 0);
    for (std::uint32_t slot = 0; slot < functions.size(); ++slot) {
        const raw::ScanIndex& idx = functions[slot].entry->idx;
        for (std::uint64_t s = 0; s < idx.size(); ++s) {
            const float rt = idx.rt_min(s);
            if (o.rt_range && !o.rt_range->contains(rt)) continue;
            scans.push_back({rt, slot, s});
            ++scans_per_function[slot];
        }
    }
    std::stable_sort(scans.begin(), scans.end(), scan_before);

    auto channels = load_channel_chromatograms(r, o);
    if (!channels) return std::unexpected(std::move(channels.error()));

    const std::size_t n_tic = std::count_if(scans_per_function.begin(), scans_per_function.end(),
                                            [](std::size_t n) { return n > 0; });
    const std::size_t n_chromatograms = n_tic + channels->size();
    if (scans.empty() && n_chromatograms == 0)
        return parse_error("nothing to export: no scan or chromatogram matches the selection");

    std::uint64_t lock_total = 0;
    if (o.lockmass)
        for (const FunctionEntry& e : r.functions())
            if (e.info.is_lock_mass()) lock_total += e.idx.size();
    Progress progress("exporting", lock_total + scans.size(), o.progress);
    std::uint64_t done = 0;

    ExportReport report;
    LockMassCorrection correction;
    if (o.lockmass) {
        auto lock = measure_lock_mass(r, o, progress, done);
        if (!lock) return std::unexpected(std::move(lock.error()));
        report.lock_scans = lock->scans;
        report.lock_scans_matched = lock->correction.points().size();
        correction = std::move(lock->correction);
    }

    // Run description.
    RunDescription run;
    run.run_id = xml_id(r.name());
    run.source_name = r.name();
    {
        std::error_code ec;
        std::filesystem::path abs = std::filesystem::absolute(r.dir(), ec).lexically_normal();
        if (!abs.has_filename()) abs = abs.parent_path();
        run.source_location = file_uri(abs.parent_path());
    }
    const bool any_ms1 = std::any_of(functions.begin(), functions.end(), [&](const SelectedFunction& f) {
        return f.ms_level == 1 && scans_per_function[std::size_t(&f - functions.data())] > 0;
    });
    const bool any_msn = std::any_of(functions.begin(), functions.end(), [&](const SelectedFunction& f) {
        return f.ms_level > 1 && scans_per_function[std::size_t(&f - functions.data())] > 0;
    });
    if (any_ms1) run.file_content.push_back(term::kMs1Spectrum);
    if (any_msn) run.file_content.push_back(term::kMsnSpectrum);
    if (n_tic > 0) run.file_content.push_back(term::kTicChromatogram);
    std::vector<ChromatogramEntry> channel_entries(channels->size());
    bool any_pressure = false, any_flow = false;
    for (std::size_t i = 0; i < channels->size(); ++i) {
        describe_channel((*channels)[i], channel_entries[i]);
        any_pressure |= channel_entries[i].type && channel_entries[i].type->accession == term::kPressureChromatogram.accession;
        any_flow |= channel_entries[i].type && channel_entries[i].type->accession == term::kFlowRateChromatogram.accession;
    }
    if (any_pressure) run.file_content.push_back(term::kPressureChromatogram);
    if (any_flow) run.file_content.push_back(term::kFlowRateChromatogram);
    const raw::Header& h = r.header();
    if (h.instrument) run.instrument_params.push_back({"instrument", *h.instrument});
    if (h.acquired_date && h.acquired_time) run.start_time_stamp = timestamp(*h.acquired_date, *h.acquired_time);
    if (h.sample_description) run.sample_name = *h.sample_description;
    run.software_version = KESTRUNE_VERSION;
    run.lock_mass_corrected = !correction.empty();

    // Chromatogram ids: unique across the file.
    std::set<std::string> used_ids;
    std::vector<std::string> tic_ids(functions.size());
    for (std::size_t slot = 0; slot < functions.size(); ++slot) {
        tic_ids[slot] = fmt::format("TIC function={}", functions[slot].entry->number);
        used_ids.insert(tic_ids[slot]);
    }
    for (auto& c : *channels) {
        if (c.id.empty() || used_ids.contains(c.id)) c.id = fmt::format("{} (channel {})", c.id, c.channel.index);
        used_ids.insert(c.id);
    }

    auto file = OutputFile::create(o.output);
    if (!file) return std::unexpected(std::move(file.error()));
    MzmlWriter writer(*file, o.compress, o.zlib_level);
    writer.begin(run, scans.size(), n_chromatograms);

    std::vector<std::vector<float>> tic_time(functions.size());
    std::vector<std::vector<double>> tic_value(functions.size());
    for (std::size_t slot = 0; slot < functions.size(); ++slot) {
        tic_time[slot].reserve(scans_per_function[slot]);
        tic_value[slot].reserve(scans_per_function[slot]);
    }
    std::vector<double> corrected;
    for (const SelectedScan& sel : scans) {
        const SelectedFunction& f = functions[sel.function_slot];
        auto decoded = r.decode_scan(f.entry->number, sel.scan);
        if (!decoded) return std::unexpected(std::move(decoded.error()));
        const Arrays a = arrays_of(*decoded);
        std::span<const double> mz = *a.mz;
        if (!correction.empty()) {
            const double factor = correction.factor_at(decoded->rt_min);
            corrected.assign(a.mz->begin(), a.mz->end());
            apply_factor(corrected, factor);
            mz = corrected;
            report.factor_min = std::min(report.factor_min.value_or(factor), factor);
            report.factor_max = std::max(report.factor_max.value_or(factor), factor);
        }
        const std::string id = native_id(f.entry->number, sel.scan);
        SpectrumEntry entry;
        entry.id = id;
        entry.ms_level = f.ms_level;
        entry.polarity = r.extern_inf().polarity;
        entry.rt_min = decoded->rt_min;
        entry.window_low = f.entry->info.mz_low;
        entry.window_high = f.entry->info.mz_high;
        entry.collision_energy = decoded->collision_energy;
        entry.set_mass = f.ms_level > 1 ? f.set_mass : std::nullopt;
        entry.mz = mz;
        entry.intensity = *a.intensity;
        if (a.drift) {
            entry.ims = true;
            entry.drift_ms = *a.drift;
        }
        writer.spectrum(entry);
        tic_time[sel.function_slot].push_back(decoded->rt_min);
        tic_value[sel.function_slot].push_back(spectrum_stats(mz, *a.intensity).tic);
        progress.update(++done);
    }

    for (std::size_t slot = 0; slot < functions.size(); ++slot) {
        if (scans_per_function[slot] == 0) continue;
        ChromatogramEntry c;
        c.id = tic_ids[slot];
        c.type = term::kTicChromatogram;
        c.time_min = tic_time[slot];
        c.values64 = tic_value[slot];
        c.value_array = term::kIntensityArray;
        c.value_unit = term::kUnitDetectorCounts;
        c.user_params.push_back({"function", fmt::format("{}", functions[slot].entry->number)});
        writer.chromatogram(c);
    }
    for (std::size_t i = 0; i < channels->size(); ++i) {
        ChromatogramEntry& c = channel_entries[i];
        c.id = (*channels)[i].id;
        c.time_min = (*channels)[i].time;
        writer.chromatogram(c);
    }
    if (auto done_writing = writer.finish(); !done_writing) return std::unexpected(std::move(done_writing.error()));
    if (auto committed = file->commit(); !committed) return std::unexpected(std::move(committed.error()));
    progress.finish();

    report.spectra = scans.size();
    report.chromatograms = n_chromatograms;
    report.bytes = writer.bytes_written();
    return report;
}

}  // namespace kestrune::cli
