#include "export/plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include <fmt/format.h>

#include "codec/sha1.h"
#include "export/completeness.h"
#include "export/identity.h"
#include "export/sources.h"
#include "log.h"
#include "mzml/instrument_models.h"
#include "raw/header.h"
#include "reader/representation.h"
#include "text.h"

namespace kestrune::exporting {

namespace {

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


bool in_table(const Reader& r, std::uint32_t n) {
    const auto& fns = r.function_table().functions;
    return std::any_of(fns.begin(), fns.end(), [n](const auto& info) { return info.index == n; });
}

// Whether the export reads the function: to write it, or to measure its
// lock mass.
bool reads_function(const Reader& r, const ExportOptions& o, const raw::functions_inf::FunctionInfo& info) {
    if (info.is_lock_mass() && o.lockmass) return true;
    if (o.functions && std::find(o.functions->begin(), o.functions->end(), info.index) == o.functions->end())
        return false;
    if (info.is_lock_mass() && !o.keep_lockmass) return false;
    return !o.ms_level || r.extern_inf().ms_level(info.index) == *o.ms_level;
}

Result<std::vector<PlannedFunction>> select_functions(const Reader& r, const ExportOptions& o) {
    if (o.functions) {
        for (std::uint32_t n : *o.functions) {
            const FunctionEntry* e = r.function(n);
            if (!e && !in_table(r, n)) return invalid_argument(fmt::format("function {} is not in the run's function table", n));
            if (e && e->info.is_lock_mass() && !o.keep_lockmass)
                return invalid_argument(
                    fmt::format("function {} is a lock-mass function; add --keep-lockmass to export it", n));
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
        f.ims = e.encoding == Encoding::B;
        f.lock_mass = e.info.is_lock_mass();
        f.tic_id = fmt::format("TIC function={}", e.number);
        switch (o.representation) {
            case RepresentationChoice::Centroid: f.representation = Representation::Centroid; break;
            case RepresentationChoice::Profile: f.representation = Representation::Profile; break;
            case RepresentationChoice::Auto: {
                auto judged = reader::detect_representation(r, e);
                if (!judged) return fail(std::move(judged.error()));
                f.representation = *judged;
                log_info(kTarget, "function {}: {} spectra", e.number, representation_name(*judged));
            }
        }
        f.centroid = o.centroid && f.representation == Representation::Profile;
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
                if (!decoded) return fail(std::move(decoded.error()));
                p.spectra = count_drift_bins(decoded->drift_time_ms);
            }
            scans.push_back(p);
            ++fns[slot].scans;
        }
    }
    std::stable_sort(scans.begin(), scans.end(), scan_before);
    return scans;
}

Result<std::vector<PlannedChannel>> plan_channels(const Reader& r, const ExportOptions& o) {
    std::vector<PlannedChannel> out;
    auto channels = channels_with_samples(r);
    if (!channels) return fail(std::move(channels.error()));
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

mzml::InstrumentDescription describe_instrument(const raw::Header& h, bool any_ims) {
    mzml::InstrumentDescription ins;
    const raw::header::InstrumentText text = raw::header::split_instrument(h.instrument.value_or(""));
    ins.serial_number = text.serial_number;
    const mzml::InstrumentModel* model = mzml::match_instrument_model(text.model);
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

Result<mzml::RunDescription> describe_run(const Reader& r, const ExportPlan& plan) {
    mzml::RunDescription run;
    run.run_id = xml_id(r.name());
    run.source_name = r.name();
    {
        std::error_code ec;
        std::filesystem::path abs = std::filesystem::absolute(r.dir(), ec).lexically_normal();
        if (!abs.has_filename()) abs = abs.parent_path();
        run.source_location = text::file_uri(abs.parent_path());
    }
    if (!r.functions().empty()) {
        const FunctionEntry& first = r.functions().front();
        auto sha = plan.sources->sha1(first);
        if (!sha) return fail(std::move(sha.error()));
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
    if (!header) return fail(std::move(header.error()));
    const raw::Header& h = *header;
    run.instrument = describe_instrument(h, any_ims);
    run.acquisition_software_version = h.version.value_or("unknown");
    if (h.acquired_date && h.acquired_time) run.start_time_stamp = timestamp(*h.acquired_date, *h.acquired_time);
    if (h.sample_description) run.sample_name = *h.sample_description;
    run.software_version = KESTRUNE_VERSION_STRING;
    return run;
}

// Indices of an ion-mobility frame ordered by (a, b) with `first` the

// Peak picking in the data processing, with the centroider's choices, when
// a function is written as centroids.
void describe_peak_picking(ExportPlan& plan) {
    std::string functions;
    for (const PlannedFunction& f : plan.functions)
        if (f.centroid) functions += fmt::format("{}{}", functions.empty() ? "" : ", ", f.entry->number);
    if (functions.empty()) return;
    const CentroidOptions c = plan.centroiding.validated();
    auto& params = plan.run.peak_picking_params;
    params.push_back({"centroider", "kestrune: intensity-weighted mean m/z and summed counts per peak"});
    params.push_back({"functions centroided", functions});
    params.push_back({"valley significance (standard deviations of counting noise)", text::plain(c.valley_significance),
                      "xsd:double"});
    params.push_back({"minimum peak ions", text::plain(c.min_peak_ions), "xsd:double"});
    params.push_back({"ion intensity", c.ion_intensity > 0 ? text::plain(c.ion_intensity) : "smallest intensity of the spectrum",
                      c.ion_intensity > 0 ? "xsd:double" : "xsd:string"});
    plan.run.peak_picked = true;
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

Result<ExportPlan> plan_export(const Reader& r, const ExportOptions& o) {
    const auto reads = [&](const raw::functions_inf::FunctionInfo& info) { return reads_function(r, o, info); };
    if (auto whole = check_complete(r, reads, o.allow_incomplete); !whole) return fail(std::move(whole.error()));
    ExportPlan plan;
    // Every data file read is opened now, once, for the whole export.
    std::vector<const FunctionEntry*> read;
    for (const FunctionEntry& e : r.functions())
        if (reads(e.info) || &e == &r.functions().front()) read.push_back(&e);
    auto sources = SourceFiles::open(r, read);
    if (!sources) return fail(std::move(sources.error()));
    plan.sources = std::make_shared<const SourceFiles>(std::move(*sources));
    plan.ims_layout = o.ims_layout;
    auto functions = select_functions(r, o);
    if (!functions) return fail(std::move(functions.error()));
    plan.functions = std::move(*functions);
    mark_dia_pairs(plan.functions);
    auto scans = plan_scans(r, o, plan.functions);
    if (!scans) return fail(std::move(scans.error()));
    plan.scans = std::move(*scans);
    auto channels = plan_channels(r, o);
    if (!channels) return fail(std::move(channels.error()));
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
        return invalid_argument("nothing to export: no scan matches the selection");
    if (plan.scans.empty() && plan.n_chromatograms == 0)
        return parse_error("nothing to export: the run has no scan and no chromatogram");

    auto run = describe_run(r, plan);
    if (!run) return fail(std::move(run.error()));
    plan.run = std::move(*run);
    plan.centroiding = o.centroiding;
    describe_peak_picking(plan);
    // What the file is made from and with, for `export -O` to compare.
    auto identity = source_identity(r.dir());
    if (!identity) return fail(std::move(identity.error()));
    plan.run.source_params.push_back({std::string(kSourceParam), std::move(*identity)});
    plan.run.processing_params.push_back({std::string(kOptionsParam), options_fingerprint(o)});
    return plan;
}

std::uint64_t lock_scan_count(const Reader& r) noexcept {
    std::uint64_t n = 0;
    for (const FunctionEntry& e : r.functions())
        if (e.info.is_lock_mass()) n += e.idx.size();
    return n;
}

namespace {

// The lock-mass points of the run's lock-mass scans; the number of scans.
Result<std::vector<LockPoint>> measure_lock_points(const Reader& r, const ExportOptions& o, std::size_t& scans,
                                                   Tally& tally) {
    std::vector<LockPoint> points;
    std::optional<LockPeakFinder> finder;
    std::uint32_t finder_of = 0;
    std::optional<Error> failed;
    auto done = for_each_lock_scan(r, [&](const FunctionEntry& e, const Scan& scan) {
        if (failed) return;
        if (!finder || finder_of != e.number) {
            auto made = LockPeakFinder::for_function(r, e, *o.lockmass, o.lockmass_tolerance);
            if (!made) return void(failed = std::move(made.error()));
            finder = *made;
            finder_of = e.number;
        }
        ++scans;
        tally.step();
        const auto point = finder->measure(scan);
        if (!point) return;
        points.push_back(*point);
        log_debug(kTarget, "lock mass: function {} scan {} at {} min: {} observed, factor {}", e.number, scan.index,
                  text::plain(scan.rt_min), text::plain(point->observed_mz), text::plain(point->factor));
    });
    if (failed) return fail(std::move(*failed));
    if (!done) return fail(std::move(done.error()));
    return points;
}

void describe_correction(const ExportOptions& o, ExportPlan& plan) {
    std::optional<double> lo, hi;
    for (PlannedScan& s : plan.scans) {
        s.lock_factor = plan.correction.factor_at(s.rt_min);
        lo = std::min(lo.value_or(s.lock_factor), s.lock_factor);
        hi = std::max(hi.value_or(s.lock_factor), s.lock_factor);
    }
    mzml::RunDescription& run = plan.run;
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
}

}  // namespace

Result<void> add_lock_mass(const Reader& r, const ExportOptions& o, ExportPlan& plan, Tally& tally) {
    auto points = measure_lock_points(r, o, plan.lock_scans, tally);
    if (!points) return fail(std::move(points.error()));
    const bool any_function = std::any_of(r.functions().begin(), r.functions().end(),
                                          [](const FunctionEntry& e) { return e.info.is_lock_mass(); });
    std::string problem;
    if (!any_function)
        problem = "--lockmass: the run has no lock-mass function";
    else if (points->empty())
        problem = fmt::format("--lockmass: no lock-mass scan has a peak within {} of {}",
                              text::plain(o.lockmass_tolerance), text::plain(*o.lockmass));
    if (!problem.empty()) {
        if (!o.lockmass_optional) return parse_error(problem + " (add --lockmass-optional to export uncorrected)");
        log_warn(kTarget, "{}; m/z values are not corrected", problem);
    }
    plan.correction = LockMassCorrection(std::move(*points));
    if (!plan.correction.empty()) describe_correction(o, plan);
    return {};
}

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
        if (sel.spectra > kMaxBinsPerBatch) {
            for (std::uint32_t b = 0; b < sel.spectra; b += kMaxBinsPerBatch)
                batches.push_back({i, i + 1, b, std::min(sel.spectra, b + kMaxBinsPerBatch)});
            bytes = kBatchBytes;  // the next scan starts a batch of its own
            continue;
        }
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

std::uint64_t per_bin_scan(std::uint64_t frame, double drift_ms, double scan_time_ms) noexcept {
    double word = scan_time_ms > 0 ? std::round(drift_ms * 65536.0 / scan_time_ms) : 0.0;
    if (!(word >= 0)) word = 0;
    if (word > 65535) word = 65535;
    return frame * 65536 + std::uint64_t(word) + 1;
}


}  // namespace kestrune::exporting
