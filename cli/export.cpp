#include "export.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <set>
#include <thread>
#include <variant>

#include <fmt/format.h>

#include "encode_pipeline.h"
#include "log.h"
#include "options.h"
#include "output_file.h"
#include "output_guard.h"
#include "sha1.h"
#include "text.h"

namespace kestrune::cli {

namespace {

constexpr const char* kTarget = "kestrune::cli";

using reader::DecodedSpectrum;
using reader::FunctionEntry;
using reader::Reader;

// Retention-time order; scans without a time go last, ties keep function
// and scan order.
bool scan_before(const PlannedScan& a, const PlannedScan& b) {
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

double scan_time_ms(const FunctionEntry& e) { return double(e.info.scan_time_s) * 1000.0; }

Result<std::vector<PlannedFunction>> select_functions(const Reader& r, const ExportOptions& o) {
    if (o.functions) {
        for (std::uint32_t n : *o.functions) {
            const FunctionEntry* e = r.function(n);
            if (!e) return fail(usage_error(fmt::format("--functions: function {} not found", n)));
            if (e->info.is_lock_mass() && !o.keep_lockmass)
                return fail(usage_error(
                    fmt::format("function {} is a lock-mass function; add --keep-lockmass to export it", n)));
        }
    }
    std::vector<PlannedFunction> out;
    for (const FunctionEntry& e : r.functions()) {
        if (o.functions && std::find(o.functions->begin(), o.functions->end(), e.number) == o.functions->end())
            continue;
        if (e.info.is_lock_mass() && !o.keep_lockmass) continue;
        const std::uint8_t level = r.extern_inf().ms_level(e.number);
        if (o.ms_level && level != *o.ms_level) continue;
        PlannedFunction f;
        f.entry = &e;
        f.ms_level = level;
        if (const auto it = r.extern_inf().functions.find(e.number); it != r.extern_inf().functions.end())
            f.set_mass = it->second.set_mass;
        f.ims = e.encoding == reader::Encoding::B;
        f.lock_mass = e.info.is_lock_mass();
        f.tic_id = fmt::format("TIC function={}", e.number);
        switch (o.representation) {
            case RepresentationChoice::Centroid: f.representation = Representation::Centroid; break;
            case RepresentationChoice::Profile: f.representation = Representation::Profile; break;
            case RepresentationChoice::Auto: {
                auto judged = detect_representation(r, e);
                if (!judged) return std::unexpected(std::move(judged.error()));
                f.representation = *judged;
                log_info(kTarget, "function {}: {} spectra", e.number, representation_name(*judged));
            }
        }
        out.push_back(std::move(f));
    }
    return out;
}

// A full-scan function and a fragmentation function without a set mass over
// the same m/z range: data-independent acquisition of the full range (MSe).
void mark_dia_pairs(std::vector<PlannedFunction>& fns) {
    const auto same_range = [](const PlannedFunction& a, const PlannedFunction& b) {
        return a.entry->info.mz_low == b.entry->info.mz_low && a.entry->info.mz_high == b.entry->info.mz_high;
    };
    for (PlannedFunction& high : fns) {
        if (high.ms_level < 2 || high.set_mass || high.lock_mass) continue;
        for (PlannedFunction& low : fns) {
            if (low.ms_level != 1 || low.lock_mass || !same_range(low, high)) continue;
            const term::Term method = (low.ims || high.ims) ? term::kDiaFullRangeIms : term::kDiaFullRange;
            low.acquisition_method = method;
            high.acquisition_method = method;
        }
    }
}

// The distinct drift times of a frame.
std::uint32_t count_drift_bins(const std::vector<double>& drift) {
    std::vector<double> d(drift);
    std::sort(d.begin(), d.end());
    return std::uint32_t(std::unique(d.begin(), d.end()) - d.begin());
}

Result<std::vector<PlannedScan>> plan_scans(const Reader& r, const ExportOptions& o,
                                            std::vector<PlannedFunction>& fns) {
    std::vector<PlannedScan> scans;
    for (std::uint32_t slot = 0; slot < fns.size(); ++slot) {
        const FunctionEntry& e = *fns[slot].entry;
        for (std::uint64_t s = 0; s < e.idx.size(); ++s) {
            const float rt = e.idx.rt_min(s);
            if (o.rt_range && !o.rt_range->contains(rt)) continue;
            PlannedScan p{rt, slot, s};
            if (fns[slot].ims && o.ims_layout == ImsLayout::PerBin) {
                auto decoded = r.decode_scan(e.number, s);
                if (!decoded) return std::unexpected(std::move(decoded.error()));
                p.spectra = count_drift_bins(*arrays_of(*decoded).drift);
            }
            scans.push_back(p);
            ++fns[slot].scans;
        }
    }
    std::stable_sort(scans.begin(), scans.end(), scan_before);
    return scans;
}

// A unit text compared with case and blanks ignored.
std::string unit_key(std::string_view units) {
    std::string out = text::ascii_lower(text::trim(units));
    std::erase(out, ' ');
    return out;
}

Result<std::vector<PlannedChannel>> plan_channels(const Reader& r, const ExportOptions& o) {
    std::vector<PlannedChannel> out;
    auto channels = channels_with_samples(r);
    if (!channels) return std::unexpected(std::move(channels.error()));
    for (const ChannelSamples& ch : *channels) {
        PlannedChannel c{ch.channel.name, ch.channel, channel_kind(ch.channel.units), {}, {}, {}};
        for (const auto& p : ch.points) {
            if (o.rt_range && !o.rt_range->contains(p.rt_min)) continue;
            c.time.push_back(p.rt_min);
            c.values.push_back(p.value);
            if (c.kind.converted) c.converted.push_back(double(p.value) * c.kind.scale + c.kind.offset);
        }
        // A time window that misses the channel entirely leaves it out.
        if (o.rt_range && c.time.empty() && !ch.points.empty()) continue;
        out.push_back(std::move(c));
    }
    return out;
}

// SHA-1 of a whole file.
Result<std::string> file_sha1(const std::filesystem::path& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return fail(Error::context(fmt::format("reading {}", path), Error::io(errno)));
    Sha1 sha;
    std::vector<char> buf(1 << 20);
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) sha.update(buf.data(), n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return fail(Error::context(fmt::format("reading {}", path), Error::io(EIO)));
    return sha.hex_digest();
}

InstrumentDescription describe_instrument(const raw::Header& h, bool any_ims) {
    InstrumentDescription ins;
    const raw::header::InstrumentText text = raw::header::split_instrument(h.instrument.value_or(""));
    ins.serial_number = text.serial_number;
    const InstrumentModel* model = match_instrument_model(text.model);
    std::string_view cls;
    if (model) {
        ins.model = {model->accession, model->name};
        cls = model->instrument_class;
        if (model->key.starts_with("maldi")) ins.source = term::kMaldi;
    } else {
        ins.model = term::kWatersInstrumentModel;
        if (!text.model.empty()) ins.model_value = text.model;
    }
    if (h.instrument) ins.params.push_back({"instrument", *h.instrument});
    // Analyzers as the instrument class implies; every function of these runs
    // is time-of-flight data, so an unknown model is taken as a Q-TOF when
    // it separates by ion mobility and as a TOF otherwise.
    if (cls.empty()) cls = any_ims ? term::kQimsTofInstrument.accession : term::kTofInstrument.accession;
    if (cls == term::kQtofInstrument.accession || cls == term::kQimsTofInstrument.accession)
        ins.analyzers = {term::kQuadrupole, term::kTimeOfFlight};
    else if (cls == term::kTripleQuadrupoleInstrument.accession)
        ins.analyzers = {term::kQuadrupole, term::kQuadrupole};
    else if (cls == term::kQuadrupoleInstrument.accession)
        ins.analyzers = {term::kQuadrupole};
    else if (cls == term::kMagneticSectorInstrument.accession)
        ins.analyzers = {term::kMagneticSector};
    else
        ins.analyzers = {term::kTimeOfFlight};
    const bool tof = std::any_of(ins.analyzers.begin(), ins.analyzers.end(),
                                 [](const term::Term& t) { return t.accession == term::kTimeOfFlight.accession; });
    ins.detector = tof ? term::kMicrochannelPlate : term::kElectronMultiplier;
    return ins;
}

bool has_term(const std::vector<term::Term>& terms, const term::Term& t) {
    return std::any_of(terms.begin(), terms.end(), [&](const term::Term& x) { return x.accession == t.accession; });
}

Result<RunDescription> describe_run(const Reader& r, const ExportPlan& plan) {
    RunDescription run;
    run.run_id = xml_id(r.name());
    run.source_name = r.name();
    {
        std::error_code ec;
        std::filesystem::path abs = std::filesystem::absolute(r.dir(), ec).lexically_normal();
        if (!abs.has_filename()) abs = abs.parent_path();
        run.source_location = file_uri(abs.parent_path());
    }
    if (!r.functions().empty()) {
        const FunctionEntry& first = r.functions().front();
        auto sha = file_sha1(first.dat_path);
        if (!sha) return std::unexpected(std::move(sha.error()));
        run.source_sha1 = std::move(*sha);
        run.source_sha1_of = text::path_text(first.dat_path.filename());
    }
    bool any_ims = false;
    for (const PlannedFunction& f : plan.functions) {
        any_ims |= f.ims;
        if (f.scans == 0) continue;
        if (!f.lock_mass && f.ms_level == 1 && !has_term(run.file_content, term::kMs1Spectrum))
            run.file_content.push_back(term::kMs1Spectrum);
        if (f.ms_level > 1 && !has_term(run.file_content, term::kMsnSpectrum))
            run.file_content.push_back(term::kMsnSpectrum);
    }
    if (std::any_of(plan.functions.begin(), plan.functions.end(), [](const auto& f) { return f.scans > 0; }))
        run.file_content.push_back(term::kTicChromatogram);
    for (const PlannedChannel& c : plan.channels)
        if (c.kind.type && c.kind.type->accession == term::kEmrChromatogram.accession &&
            !has_term(run.file_content, term::kEmrChromatogram))
            run.file_content.push_back(term::kEmrChromatogram);
    auto header = r.header_as_written();
    if (!header) return std::unexpected(std::move(header.error()));
    const raw::Header& h = *header;
    run.instrument = describe_instrument(h, any_ims);
    run.acquisition_software_version = h.version.value_or("unknown");
    if (h.acquired_date && h.acquired_time) run.start_time_stamp = timestamp(*h.acquired_date, *h.acquired_time);
    if (h.sample_description) run.sample_name = *h.sample_description;
    run.software_version = KESTRUNE_VERSION;
    return run;
}

// Indices of an ion-mobility frame ordered by (a, b) with `first` the
// primary key: m/z then drift, or drift then m/z.
std::vector<std::uint32_t> frame_order(const std::vector<double>& first, const std::vector<double>& second) {
    std::vector<std::uint32_t> order(first.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (first[a] != first[b]) return first[a] < first[b];
        return second[a] < second[b];
    });
    return order;
}

template <class T>
void gather(const std::vector<T>& from, const std::vector<std::uint32_t>& order, std::size_t lo, std::size_t hi,
            std::vector<T>& to) {
    to.clear();
    for (std::size_t k = lo; k < hi; ++k) to.push_back(from[order[k]]);
}

}  // namespace

ChannelKind channel_kind(std::string_view units_text) {
    const std::string u = unit_key(units_text);
    ChannelKind k;
    const auto set = [&](const term::Term& type, const term::Term& array, const term::Term& unit, double scale,
                         double offset) {
        k.type = type;
        k.value_array = array;
        k.unit = unit;
        k.scale = scale;
        k.offset = offset;
        k.converted = scale != 1 || offset != 0;
    };
    static const std::string kDegree = "\xC2\xB0";
    if (u == "pa") set(term::kPressureChromatogram, term::kPressureArray, term::kUnitPascal, 1, 0);
    else if (u == "kpa") set(term::kPressureChromatogram, term::kPressureArray, term::kUnitPascal, 1e3, 0);
    else if (u == "mpa") set(term::kPressureChromatogram, term::kPressureArray, term::kUnitPascal, 1e6, 0);
    else if (u == "bar") set(term::kPressureChromatogram, term::kPressureArray, term::kUnitPascal, 1e5, 0);
    else if (u == "mbar") set(term::kPressureChromatogram, term::kPressureArray, term::kUnitPascal, 100, 0);
    else if (u == "psi" || u == "psig")
        set(term::kPressureChromatogram, term::kPressureArray, term::kUnitPascal, 6894.757293168361, 0);
    else if (u == "c" || u == kDegree + "c" || u == "degc" || u == "deg.c")
        set(term::kTemperatureChromatogram, term::kTemperatureArray, term::kUnitKelvin, 1, 273.15);
    else if (u == "k") set(term::kTemperatureChromatogram, term::kTemperatureArray, term::kUnitKelvin, 1, 0);
    else if (u == "ul/min" || u == "\xC2\xB5l/min" || u == "\xCE\xBCl/min")
        set(term::kFlowRateChromatogram, term::kFlowRateArray, term::kUnitMicrolitresPerMinute, 1, 0);
    else if (u == "ml/min")
        set(term::kFlowRateChromatogram, term::kFlowRateArray, term::kUnitMicrolitresPerMinute, 1e3, 0);
    else if (u == "nl/min")
        set(term::kFlowRateChromatogram, term::kFlowRateArray, term::kUnitMicrolitresPerMinute, 1e-3, 0);
    else if (u == "au" || u == "mau" || u == "lu" || u == "eu")
        k.type = term::kEmrChromatogram;  // absorbance, luminescence: light against time
    return k;
}

Result<std::vector<ChannelSamples>> channels_with_samples(const Reader& r) {
    std::vector<ChannelSamples> out;
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
        out.push_back({ch, std::move(**points)});
    }
    return out;
}

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

Result<ExportPlan> plan_export(const Reader& r, const ExportOptions& o) {
    ExportPlan plan;
    plan.ims_layout = o.ims_layout;
    auto functions = select_functions(r, o);
    if (!functions) return std::unexpected(std::move(functions.error()));
    plan.functions = std::move(*functions);
    mark_dia_pairs(plan.functions);
    auto scans = plan_scans(r, o, plan.functions);
    if (!scans) return std::unexpected(std::move(scans.error()));
    plan.scans = std::move(*scans);
    auto channels = plan_channels(r, o);
    if (!channels) return std::unexpected(std::move(channels.error()));
    plan.channels = std::move(*channels);

    // Chromatogram ids: unique across the file.
    std::set<std::string> used_ids;
    for (const PlannedFunction& f : plan.functions) {
        used_ids.insert(f.tic_id);
        if (f.scans > 0) ++plan.n_chromatograms;
    }
    for (PlannedChannel& c : plan.channels) {
        if (c.id.empty() || used_ids.contains(c.id)) c.id = fmt::format("{} (channel {})", c.id, c.channel.index);
        used_ids.insert(c.id);
    }
    plan.n_chromatograms += plan.channels.size();
    for (const PlannedScan& s : plan.scans) plan.n_spectra += s.spectra;
    // A selection that leaves no scan is a mistake of use, whatever
    // chromatograms it would still write.
    if (plan.scans.empty() && (o.functions || o.ms_level || o.rt_range))
        return fail(usage_error("nothing to export: no scan matches the selection"));
    if (plan.scans.empty() && plan.n_chromatograms == 0)
        return parse_error("nothing to export: the run has no scan and no chromatogram");

    auto run = describe_run(r, plan);
    if (!run) return std::unexpected(std::move(run.error()));
    plan.run = std::move(*run);
    return plan;
}

Result<void> add_lock_mass(const Reader& r, const ExportOptions& o, ExportPlan& plan, Progress& progress,
                           std::uint64_t& done) {
    std::vector<LockPoint> points;
    bool any_function = false;
    for (const FunctionEntry& e : r.functions()) {
        if (!e.info.is_lock_mass()) continue;
        any_function = true;
        auto representation = detect_representation(r, e);
        if (!representation) return std::unexpected(std::move(representation.error()));
        const bool profile = *representation == Representation::Profile;
        for (std::uint64_t s = 0; s < e.idx.size(); ++s) {
            auto decoded = r.decode_scan(e.number, s);
            if (!decoded) return std::unexpected(std::move(decoded.error()));
            const Arrays a = arrays_of(*decoded);
            ++plan.lock_scans;
            progress.update(++done);
            const auto peak = find_lock_peak(*a.mz, *a.intensity, *o.lockmass, o.lockmass_tolerance, profile);
            if (!peak || std::isnan(decoded->rt_min)) continue;
            points.push_back({decoded->rt_min, peak->mz, *o.lockmass / peak->mz});
            log_debug(kTarget, "lock mass: function {} scan {} at {} min: {} observed, factor {}", e.number, s,
                      text::plain(decoded->rt_min), text::plain(peak->mz), text::plain(*o.lockmass / peak->mz));
        }
    }
    std::string problem;
    if (!any_function)
        problem = "--lockmass: the run has no lock-mass function";
    else if (points.empty())
        problem = fmt::format("--lockmass: no lock-mass scan has a peak within {} of {}",
                              text::plain(o.lockmass_tolerance), text::plain(*o.lockmass));
    if (!problem.empty()) {
        if (!o.lockmass_optional) return parse_error(problem + " (add --lockmass-optional to export uncorrected)");
        log_warn(kTarget, "{}; m/z values are not corrected", problem);
    }
    plan.correction = LockMassCorrection(std::move(points));
    if (plan.correction.empty()) return {};
    std::optional<double> lo, hi;
    for (PlannedScan& s : plan.scans) {
        s.lock_factor = plan.correction.factor_at(s.rt_min);
        lo = std::min(lo.value_or(s.lock_factor), s.lock_factor);
        hi = std::max(hi.value_or(s.lock_factor), s.lock_factor);
    }
    RunDescription& run = plan.run;
    run.lock_mass_corrected = true;
    run.lock_mass_params.push_back({"lock mass reference m/z", text::plain(*o.lockmass), "xsd:double", term::kUnitMz});
    run.lock_mass_params.push_back(
        {"lock mass tolerance", text::plain(o.lockmass_tolerance), "xsd:double", term::kUnitMz});
    run.lock_mass_params.push_back({"lock mass scans matched",
                                    fmt::format("{} of {}", plan.correction.points().size(), plan.lock_scans)});
    if (lo) {
        run.lock_mass_params.push_back({"lock mass factor minimum", text::plain(*lo), "xsd:double"});
        run.lock_mass_params.push_back({"lock mass factor maximum", text::plain(*hi), "xsd:double"});
    }
    return {};
}

namespace {

// Renders the spectra of one planned scan, the first of them numbered
// `first_index` in the spectrum list; returns the scan's retention time and
// the intensity sum of the frame in record order (the same in every
// layout). One per thread.
class SpectrumRenderer {
public:
    SpectrumRenderer(const Reader& r, const ExportPlan& plan, const ArrayEncoding& encoding)
        : r_(r), plan_(plan), encoder_(encoding) {}

    Result<std::pair<float, double>> render(const PlannedScan& sel, std::size_t first_index, RenderedSpectra& out) {
        out_ = &out;
        index_ = first_index;
        const PlannedFunction& f = plan_.functions[sel.function_slot];
        auto decoded = r_.decode_scan(f.entry->number, sel.scan);
        if (!decoded) return std::unexpected(std::move(decoded.error()));
        const Arrays a = arrays_of(*decoded);
        // Summed in record order, as spectrum_stats sums.
        double tic = 0;
        for (float v : *a.intensity) tic += double(v);
        std::span<const double> mz = *a.mz;
        if (!plan_.correction.empty()) {
            corrected_.assign(a.mz->begin(), a.mz->end());
            apply_factor(corrected_, sel.lock_factor);
            mz = corrected_;
        }
        SpectrumEntry e = entry_of(f, *decoded);
        if (!a.drift) {
            id_ = native_id(f.entry->number, sel.scan);
            e.id = id_;
            e.mz = mz;
            e.intensity = *a.intensity;
            emit(e);
        } else {
            write_frame(f, sel, e, mz, *a.intensity, *a.drift);
        }
        return std::pair(decoded->rt_min, tic);
    }

private:
    void emit(const SpectrumEntry& e) { render_spectrum(e, index_++, encoder_, *out_); }

    SpectrumEntry entry_of(const PlannedFunction& f, const DecodedSpectrum& d) const {
        SpectrumEntry e;
        e.ms_level = f.ms_level;
        e.profile = f.representation == Representation::Profile;
        e.calibration = f.lock_mass;
        e.acquisition_method = f.acquisition_method;
        e.polarity = r_.extern_inf().polarity;
        e.rt_min = d.rt_min;
        e.window_low = f.entry->info.mz_low;
        e.window_high = f.entry->info.mz_high;
        e.collision_energy = d.collision_energy;
        if (f.ms_level > 1) {
            const double low = f.entry->info.mz_low, high = f.entry->info.mz_high;
            if (f.set_mass) {
                e.isolation = IsolationWindow{*f.set_mass, kNominalIsolationHalfWidth, kNominalIsolationHalfWidth};
                e.selected_mz = f.set_mass;
            } else {
                const double mid = (low + high) / 2;
                e.isolation = IsolationWindow{mid, mid - low, high - mid};
            }
        }
        return e;
    }

    void write_frame(const PlannedFunction& f, const PlannedScan& sel, SpectrumEntry& e, std::span<const double> mz,
                     const std::vector<float>& intensity, const std::vector<double>& drift) {
        if (plan_.ims_layout != ImsLayout::Combined) mz_.assign(mz.begin(), mz.end());
        switch (plan_.ims_layout) {
            case ImsLayout::Combined: {
                id_ = native_id(f.entry->number, sel.scan);
                e.id = id_;
                e.ims = true;
                bool sorted = true;
                for (std::size_t i = 1; i < mz.size() && sorted; ++i)
                    sorted = mz[i - 1] < mz[i] || (mz[i - 1] == mz[i] && drift[i - 1] <= drift[i]);
                if (sorted) {  // written as decoded, no copies
                    e.mz = mz;
                    e.intensity = intensity;
                    e.drift_ms = drift;
                } else {
                    mz_.assign(mz.begin(), mz.end());
                    const auto order = frame_order(mz_, drift);
                    gather(mz_, order, 0, order.size(), sorted_mz_);
                    gather(intensity, order, 0, order.size(), sorted_in_);
                    gather(drift, order, 0, order.size(), sorted_drift_);
                    e.mz = sorted_mz_;
                    e.intensity = sorted_in_;
                    e.drift_ms = sorted_drift_;
                }
                emit(e);
                break;
            }
            case ImsLayout::PerBin: {
                const auto order = frame_order(drift, mz_);
                for (std::size_t lo = 0; lo < order.size();) {
                    std::size_t hi = lo + 1;
                    while (hi < order.size() && drift[order[hi]] == drift[order[lo]]) ++hi;
                    gather(mz_, order, lo, hi, sorted_mz_);
                    gather(intensity, order, lo, hi, sorted_in_);
                    const double d = drift[order[lo]];
                    id_ = native_id(f.entry->number, per_bin_scan(sel.scan, d, scan_time_ms(*f.entry)) - 1);
                    e.id = id_;
                    e.mz = sorted_mz_;
                    e.intensity = sorted_in_;
                    e.drift_ms_of_scan = d;
                    emit(e);
                    lo = hi;
                }
                break;
            }
            case ImsLayout::Summed: {
                const auto order = frame_order(mz_, drift);
                sorted_mz_.clear();
                summed_.clear();
                for (std::uint32_t i : order) {
                    if (!sorted_mz_.empty() && sorted_mz_.back() == mz_[i])
                        summed_.back() += double(intensity[i]);
                    else {
                        sorted_mz_.push_back(mz_[i]);
                        summed_.push_back(double(intensity[i]));
                    }
                }
                id_ = native_id(f.entry->number, sel.scan);
                e.id = id_;
                e.mz = sorted_mz_;
                e.intensity_is_64 = true;
                e.intensity64 = summed_;
                emit(e);
                break;
            }
        }
    }

    const Reader& r_;
    const ExportPlan& plan_;
    ArrayEncoder encoder_;
    RenderedSpectra* out_ = nullptr;
    std::size_t index_ = 0;
    std::string id_;
    std::vector<double> corrected_, mz_, sorted_mz_, sorted_drift_, summed_;
    std::vector<float> sorted_in_;
};

}  // namespace

std::vector<ScanBatch> batch_scans(const ExportPlan& plan) {
    std::vector<ScanBatch> batches;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < plan.scans.size(); ++i) {
        const PlannedScan& sel = plan.scans[i];
        const FunctionEntry& f = *plan.functions[sel.function_slot].entry;
        // A scan's data reach to the next scan's, the last one's to the end
        // of the data file; one whose end is not after its start counts as a
        // batch's worth.
        const std::uint64_t start = f.idx.offset(sel.scan);
        const std::uint64_t end = sel.scan + 1 < f.idx.size() ? f.idx.offset(sel.scan + 1) : f.dat_size;
        std::size_t size = end > start ? std::size_t(std::min<std::uint64_t>(end - start, kBatchBytes)) : kBatchBytes;
        size += std::size_t{sel.spectra} * kSpectrumTextBytes;
        if (batches.empty() || bytes + size > kBatchBytes) {
            batches.push_back({i, i});
            bytes = 0;
        }
        batches.back().last = i + 1;
        bytes += size;
    }
    return batches;
}

Result<ExportReport> write_export(const Reader& r, const ExportPlan& plan, const ExportOptions& o,
                                  Progress& progress, std::uint64_t& done) {
    auto file = OutputFile::create(o.output);
    if (!file) return std::unexpected(std::move(file.error()));
    const ArrayEncoding encoding{o.compress, o.compression_level, o.numpress, o.numpress_ppm};
    MzmlWriter writer(*file, encoding);
    writer.begin(plan.run, plan.n_spectra, plan.n_chromatograms);

    std::vector<std::vector<float>> tic_time(plan.functions.size());
    std::vector<std::vector<double>> tic_value(plan.functions.size());
    for (std::size_t slot = 0; slot < plan.functions.size(); ++slot) {
        tic_time[slot].reserve(plan.functions[slot].scans);
        tic_value[slot].reserve(plan.functions[slot].scans);
    }

    // Scans are decoded, converted, encoded and compressed on the worker
    // threads; this thread appends them in plan order.
    std::vector<std::size_t> first_index(plan.scans.size());
    for (std::size_t i = 1; i < plan.scans.size(); ++i) first_index[i] = first_index[i - 1] + plan.scans[i - 1].spectra;
    const std::vector<ScanBatch> batches = batch_scans(plan);
    const unsigned threads = o.threads > 0 ? o.threads : default_export_threads();
    const PipelineLimits limits{threads, kBatchesAheadPerThread * threads, kQueueBytes};
    struct Slot {
        RenderedSpectra spectra;
        std::vector<std::pair<float, double>> written;  // time and total ion current of each scan
        std::optional<Error> error;
    };
    std::vector<Slot> slots(limits.jobs_ahead);
    std::vector<std::unique_ptr<SpectrumRenderer>> renderers;
    for (unsigned w = 0; w < threads; ++w)
        renderers.push_back(std::make_unique<SpectrumRenderer>(r, plan, encoding));
    std::optional<Error> failed;
    run_ordered(
        batches.size(), limits,
        [&](std::size_t job, unsigned worker) {
            Slot& s = slots[job % slots.size()];
            s.spectra.clear();
            s.written.clear();
            s.error.reset();
            for (std::size_t i = batches[job].first; i < batches[job].last; ++i) {
                auto written = renderers[worker]->render(plan.scans[i], first_index[i], s.spectra);
                if (!written) {
                    s.error = std::move(written.error());
                    break;
                }
                s.written.push_back(*written);
            }
            return s.spectra.text.capacity();
        },
        [&](std::size_t job) {
            Slot& s = slots[job % slots.size()];
            if (s.error) {
                failed = std::move(*s.error);
                return false;
            }
            writer.append(s.spectra);
            if (file->failed()) {
                failed = file->error();
                return false;
            }
            for (std::size_t k = 0; k < s.written.size(); ++k) {
                const PlannedScan& sel = plan.scans[batches[job].first + k];
                tic_time[sel.function_slot].push_back(s.written[k].first);
                tic_value[sel.function_slot].push_back(s.written[k].second);
                progress.update(++done);
            }
            // A slot does not keep the memory of an exceptionally large batch.
            if (s.spectra.text.capacity() > kSlotKeepBytes) s.spectra = RenderedSpectra{};
            return true;
        });
    if (failed) return std::unexpected(std::move(*failed));

    for (std::size_t slot = 0; slot < plan.functions.size(); ++slot) {
        const PlannedFunction& f = plan.functions[slot];
        if (f.scans == 0) continue;
        ChromatogramEntry c;
        c.id = f.tic_id;
        c.type = term::kTicChromatogram;
        c.time_min = tic_time[slot];
        c.values64 = tic_value[slot];
        c.value_array = term::kIntensityArray;
        c.value_unit = term::kUnitDetectorCounts;
        c.user_params.push_back({"function", fmt::format("{}", f.entry->number)});
        writer.chromatogram(c);
        if (file->failed()) return fail(file->error());
    }
    for (const PlannedChannel& p : plan.channels) {
        ChromatogramEntry c;
        c.id = p.id;
        c.type = p.kind.type;
        c.time_min = p.time;
        c.value_array = p.kind.value_array;
        c.value_unit = p.kind.unit;
        if (p.kind.value_array.accession == term::kNonStandardArray.accession) c.value_array_text = p.channel.name;
        if (p.kind.converted) {
            c.values64 = p.converted;
        } else {
            c.values_are_64 = false;
            c.values32 = p.values;
        }
        c.user_params.push_back({"channel name", p.channel.name});
        if (!p.channel.units.empty()) c.user_params.push_back({"units", p.channel.units});
        c.user_params.push_back({"channel index", fmt::format("{}", p.channel.index)});
        c.user_params.push_back({"scale factor", text::plain(p.channel.scale_f)});
        c.user_params.push_back({"source type", fmt::format("{}", p.channel.source_type)});
        writer.chromatogram(c);
        if (file->failed()) return fail(file->error());
    }
    if (auto finished = writer.finish(); !finished) return std::unexpected(std::move(finished.error()));
    if (auto committed = file->commit(); !committed) return std::unexpected(std::move(committed.error()));

    ExportReport report;
    report.spectra = plan.n_spectra;
    report.chromatograms = plan.n_chromatograms;
    report.bytes = writer.bytes_written();
    return report;
}

unsigned default_export_threads() noexcept { return std::max(std::thread::hardware_concurrency(), 1u); }

Result<ExportReport> export_mzml(const ExportOptions& o) {
    if (o.compression_level < kMinDeflateLevel || o.compression_level > kMaxDeflateLevel)
        return parse_error(fmt::format("--compression-level: {} is not a level from {} to {}", o.compression_level,
                                       kMinDeflateLevel, kMaxDeflateLevel));
    if (!(std::isfinite(o.numpress_ppm) && o.numpress_ppm > 0))
        return parse_error(fmt::format("--numpress-ppm: {} is not a positive number", text::plain(o.numpress_ppm)));
    if (o.lockmass && !(std::isfinite(*o.lockmass) && *o.lockmass > 0))
        return parse_error(fmt::format("--lockmass: {} is not a positive m/z", text::plain(*o.lockmass)));
    if (!(std::isfinite(o.lockmass_tolerance) && o.lockmass_tolerance > 0))
        return parse_error(
            fmt::format("--lockmass-tolerance: {} is not a positive number of Da", text::plain(o.lockmass_tolerance)));
    // Runs are only read: an output that resolves into the run is refused,
    // and one that cannot be written fails, before any work is done.
    if (o.output.native() != kStdoutPath) {
        if (auto ok = refuse_output_in_run(o.output, o.run); !ok) return std::unexpected(std::move(ok.error()));
        if (auto probe = OutputFile::create(o.output); !probe) return std::unexpected(std::move(probe.error()));
    }

    auto opened = Reader::open(o.run);
    if (!opened) return std::unexpected(std::move(opened.error()));
    const Reader& r = *opened;
    auto plan = plan_export(r, o);
    if (!plan) return std::unexpected(std::move(plan.error()));

    std::uint64_t lock_total = 0;
    if (o.lockmass)
        for (const FunctionEntry& e : r.functions())
            if (e.info.is_lock_mass()) lock_total += e.idx.size();
    Progress progress("exporting", lock_total + plan->scans.size(), o.progress);
    std::uint64_t done = 0;
    if (o.lockmass)
        if (auto added = add_lock_mass(r, o, *plan, progress, done); !added)
            return std::unexpected(std::move(added.error()));

    auto report = write_export(r, *plan, o, progress, done);
    if (!report) return report;
    progress.finish();
    report->lock_scans = plan->lock_scans;
    report->lock_scans_matched = plan->correction.points().size();
    if (!plan->correction.empty() && !plan->scans.empty()) {
        for (const PlannedScan& s : plan->scans) {
            report->factor_min = std::min(report->factor_min.value_or(s.lock_factor), s.lock_factor);
            report->factor_max = std::max(report->factor_max.value_or(s.lock_factor), s.lock_factor);
        }
    }
    return report;
}

std::uint64_t per_bin_scan(std::uint64_t frame, double drift_ms, double scan_time_ms) noexcept {
    double word = scan_time_ms > 0 ? std::round(drift_ms * 65536.0 / scan_time_ms) : 0.0;
    if (!(word >= 0)) word = 0;
    if (word > 65535) word = 65535;
    return frame * 65536 + std::uint64_t(word) + 1;
}

const InstrumentModel* match_instrument_model(std::string_view model_text) noexcept {
    std::string key;
    for (char c : model_text) {
        if (c >= 'A' && c <= 'Z') key.push_back(char(c - 'A' + 'a'));
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) key.push_back(c);
    }
    if (key.empty()) return nullptr;
    for (const InstrumentModel& m : instrument_models())
        if (m.key == key) return &m;
    return nullptr;
}

}  // namespace kestrune::cli
