// Quality-control measurements of a run, taken in one pass over its scans:
// the metrics of the report and the mzQC file, and downsampled series for
// the plots. Memory grows with the number of scans by a few numbers per
// MS1 scan and per lock-mass scan, never with their peaks.
#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "api/run_access.h"
#include "export/channels.h"
#include "export/completeness.h"
#include "export/plan.h"
#include "export/lockmass.h"
#include "kestrune/qc.h"
#include "mzml/writer.h"
#include "qc/metrics.h"
#include "text.h"

namespace kestrune {

Result<void> QcOptions::validate() const {
    if (lockmass && !(std::isfinite(*lockmass) && *lockmass > 0))
        return invalid_argument(fmt::format("lock mass {} is not a positive m/z", text::plain(*lockmass)));
    if (!(std::isfinite(lockmass_tolerance) && lockmass_tolerance > 0))
        return invalid_argument(
            fmt::format("lock-mass tolerance {} is not a positive number of Da", text::plain(lockmass_tolerance)));
    return {};
}

}  // namespace kestrune

namespace kestrune::qc {

namespace {

using exporting::LockPeakFinder;
using exporting::LockPoint;
using exporting::Tally;
using reader::FunctionEntry;
using reader::Reader;

Result<std::vector<ChannelQc>> measure_channels(const Reader& r, const QcOptions& o) {
    std::vector<ChannelQc> out;
    auto channels = exporting::channels_with_samples(r);
    if (!channels) return fail(std::move(channels.error()));
    for (const exporting::ChannelSamples& samples : *channels) {
        const auto& ch = samples.channel;
        ChannelQc c;
        c.index = ch.index;
        c.name = ch.name;
        c.units = ch.units;
        c.pressure = exporting::is_pressure_channel(ch.name, ch.units);
        c.points = samples.points.size();
        Decimator d(c.points, o.plot_points);
        std::vector<double> values;
        values.reserve(c.points);
        for (const auto& p : samples.points) {
            d.add(p.rt_min, p.value);
            if (std::isfinite(p.value)) values.push_back(p.value);
        }
        c.trace = d.finish();
        if (!values.empty()) {
            c.min = *std::min_element(values.begin(), values.end());
            c.max = *std::max_element(values.begin(), values.end());
            c.median = median_of(std::move(values));
        }
        out.push_back(std::move(c));
    }
    return out;
}

// The m/z of the most intense point of all lock-mass scans.
Result<std::optional<double>> strongest_lock_peak(const Reader& r, Tally& tally) {
    std::optional<double> mz;
    float best = 0;
    auto done = exporting::for_each_lock_scan(r, [&](const FunctionEntry&, const Scan& scan) {
        tally.step();
        const mzml::SpectrumStats st = mzml::spectrum_stats(scan.mz, scan.intensity);
        if (st.base_peak && (!mz || scan.intensity[*st.base_peak] > best)) {
            mz = scan.mz[*st.base_peak];
            best = scan.intensity[*st.base_peak];
        }
    });
    if (!done) return fail(std::move(done.error()));
    return mz;
}

std::size_t traces_sharing_a_plot(const Reader& r, bool lock) {
    std::size_t n = 0;
    for (const FunctionEntry& e : r.functions()) n += e.info.is_lock_mass() == lock && e.idx.size() > 0;
    return std::max<std::size_t>(n, 1);
}

struct Ms1Series {
    std::vector<double> rt_min;
    std::vector<double> tic;
};

// What the pass over the functions gathers beyond each function's own
// series.
struct RunPass {
    const Reader& r;
    const QcOptions& o;
    std::optional<double> reference;  // the lock-mass reference m/z
    std::size_t analysis_traces = 1, lock_traces = 1;
    QcMetrics& m;
    std::vector<double> cycle_s;
    std::vector<Ms1Series> ms1;
    double rt_lo = std::numeric_limits<double>::infinity(), rt_hi = -std::numeric_limits<double>::infinity();
    std::vector<LockPoint> lock_points;
};

// The series of one function being measured, scan by scan.
struct FunctionPass {
    FunctionQc f;
    Decimator tic, bpi;
    std::optional<LockPeakFinder> lock;
    Ms1Series* series = nullptr;
    double previous_rt = kNaN;
    std::optional<HeatmapBuilder> heatmap;  // ion-mobility functions
};

void add_scan(RunPass& run, FunctionPass& p, const Scan& scan) {
    FunctionQc& f = p.f;
    const mzml::SpectrumStats st = mzml::spectrum_stats(scan.mz, scan.intensity);
    const double rt = scan.rt_min;
    const double base = st.base_peak ? double(scan.intensity[*st.base_peak]) : 0.0;
    if (std::isfinite(rt)) {
        p.tic.add(rt, st.tic);
        p.bpi.add(rt, base);
    }
    if (!f.apex_scan || st.tic > f.apex_tic) {
        f.apex_scan = scan.index;
        f.apex_tic = st.tic;
        f.apex_rt_min = scan.rt_min;
    }
    if (p.heatmap)
        for (std::size_t i = 0; i < scan.drift_time_ms.size() && i < scan.mz.size(); ++i)
            p.heatmap->add(scan.mz[i], scan.drift_time_ms[i], scan.intensity[i]);
    if (f.lock_mass) {
        if (p.lock)
            if (const auto point = p.lock->measure(scan)) run.lock_points.push_back(*point);
        return;
    }
    if (std::isfinite(rt)) {
        run.rt_lo = std::min(run.rt_lo, rt);
        run.rt_hi = std::max(run.rt_hi, rt);
    }
    run.m.tic_area += st.tic;
    if (f.ms_level > 1) {
        ++run.m.ms2_spectra;
        run.m.tic_area_ms2 += st.tic;
        return;
    }
    ++run.m.ms1_spectra;
    run.m.tic_area_ms1 += st.tic;
    p.series->tic.push_back(st.tic);
    p.series->rt_min.push_back(rt);
    if (std::isfinite(rt) && std::isfinite(p.previous_rt)) run.cycle_s.push_back((rt - p.previous_rt) * 60.0);
    if (std::isfinite(rt)) p.previous_rt = rt;
}

Result<FunctionQc> measure_function(RunPass& run, const FunctionEntry& e, Tally& tally) {
    const Reader& r = run.r;
    FunctionQc f;
    f.number = e.number;
    f.ms_level = r.extern_inf().ms_level(e.number);
    f.lock_mass = e.info.is_lock_mass();
    f.ims = e.encoding == Encoding::B;
    f.scans = e.idx.size();
    const std::size_t budget = run.o.plot_points / (f.lock_mass ? run.lock_traces : run.analysis_traces);
    std::optional<HeatmapBuilder> heatmap;
    if (f.ims) {
        double lo = e.info.mz_low, hi = e.info.mz_high;
        if (!(hi > lo)) lo = 0, hi = 2000;
        double drift_hi = double(e.info.scan_time_s) * 1000.0;
        if (!(drift_hi > 0)) drift_hi = 100;
        heatmap.emplace(lo, hi, drift_hi, run.o.heatmap_mz_bins, run.o.heatmap_drift_bins);
    }
    FunctionPass p{std::move(f), Decimator(e.idx.size(), budget), Decimator(e.idx.size(), budget), {}, nullptr, kNaN,
                   std::move(heatmap)};
    // The lock-mass peak is measured as the export measures it.
    if (p.f.lock_mass && run.reference) {
        auto finder = LockPeakFinder::for_function(r, e, *run.reference, run.o.lockmass_tolerance);
        if (!finder) return fail(std::move(finder.error()));
        p.lock = *finder;
    }
    if (!p.f.lock_mass && p.f.ms_level == 1) p.series = &run.ms1.emplace_back();
    auto range = reader::ScanRange::open(r, e.number, 0, e.idx.size());
    if (!range) return fail(std::move(range.error()));
    Scan scan;
    while (true) {
        auto more = range->next(scan);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        tally.step();
        add_scan(run, p, scan);
    }
    p.f.tic = p.tic.finish();
    p.f.bpi = p.bpi.finish();
    if (p.heatmap) p.f.heatmap = p.heatmap->finish();
    return std::move(p.f);
}

void ms1_metrics(RunPass& run) {
    QcMetrics& m = run.m;
    std::vector<double> all_tic, sorted_rt, sorted_tic;
    std::vector<std::pair<double, double>> by_time;
    for (const Ms1Series& s : run.ms1) {
        const SignalJumps j = signal_jumps(s.tic);
        m.ms1_jumps += j.jumps;
        m.ms1_falls += j.falls;
        all_tic.insert(all_tic.end(), s.tic.begin(), s.tic.end());
        for (std::size_t i = 0; i < s.tic.size(); ++i)
            if (std::isfinite(s.rt_min[i])) by_time.emplace_back(s.rt_min[i], s.tic[i]);
    }
    std::stable_sort(by_time.begin(), by_time.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [t, v] : by_time) {
        sorted_rt.push_back(t);
        sorted_tic.push_back(v);
    }
    if (!all_tic.empty()) {
        std::sort(all_tic.begin(), all_tic.end());
        const std::array<double, 4> qs{quantile_sorted(all_tic, 0.25), quantile_sorted(all_tic, 0.5),
                                       quantile_sorted(all_tic, 0.75), all_tic.back()};
        m.ms1_tic_quartiles = qs;
        const std::array<double, 3> ratios{std::log10(qs[1] / qs[0]), std::log10(qs[2] / qs[1]),
                                           std::log10(qs[3] / qs[2])};
        if (std::all_of(ratios.begin(), ratios.end(), [](double v) { return std::isfinite(v); }))
            m.ms1_tic_quartile_ratios = ratios;
    }
    m.tic_quartile_rt_fractions = tic_quantile_rt_fractions(sorted_rt, sorted_tic, 4);
    if (run.rt_lo <= run.rt_hi) {
        m.rt_start_s = run.rt_lo * 60.0;
        m.rt_end_s = run.rt_hi * 60.0;
    }
    if (!run.cycle_s.empty()) m.ms1_median_cycle_s = median_of(std::move(run.cycle_s));
}

void lock_drift(RunPass& run, RunQc& q, std::size_t lock_scans) {
    const double reference = *run.reference;
    LockDriftQc d;
    d.reference_mz = reference;
    d.reference_given = run.o.lockmass.has_value();
    d.tolerance = run.o.lockmass_tolerance;
    d.scans = lock_scans;
    const exporting::LockMassCorrection sorted(std::move(run.lock_points));
    d.matched = sorted.points().size();
    Decimator trace(d.matched, run.o.plot_points);
    std::vector<double> ppm;
    for (const LockPoint& p : sorted.points()) {
        const double e = (p.observed_mz - reference) / reference * 1e6;
        ppm.push_back(e);
        trace.add(p.rt_min, e);
    }
    d.ppm = trace.finish();
    d.sd = sample_sd(ppm);
    if (!ppm.empty()) {
        d.min = *std::min_element(ppm.begin(), ppm.end());
        d.max = *std::max_element(ppm.begin(), ppm.end());
        d.median = median_of(std::move(ppm));
    } else {
        q.lock_note = fmt::format("no lock-mass scan has a peak within {} Da of m/z {}",
                                  text::plain(run.o.lockmass_tolerance), text::plain(reference));
    }
    run.m.lock_ppm_median = d.median;
    run.m.lock_ppm_sd = d.sd;
    q.lock = std::move(d);
}

// The pressure channel with samples, a pump's first.
void pump_pressure(RunQc& q) {
    const ChannelQc* pump = nullptr;
    for (const ChannelQc& c : q.channels) {
        if (!c.pressure || c.points == 0) continue;
        if (!pump || (text::ascii_lower(c.name).find("pump") != std::string::npos &&
                      text::ascii_lower(pump->name).find("pump") == std::string::npos))
            pump = &c;
    }
    if (pump) q.metrics.pump_pressure = PressureSummary{pump->name, pump->units, pump->min, pump->median, pump->max};
}

void describe(const Reader& r, RunQc& q) {
    q.name = r.name();
    q.dir = r.dir();
    if (r.header().instrument) q.instrument = *r.header().instrument;
    if (r.header().acquired_date) q.acquired = *r.header().acquired_date;
    if (r.header().acquired_time) q.acquired += (q.acquired.empty() ? "" : " ") + *r.header().acquired_time;
}

}  // namespace

Result<RunQc> measure(const Reader& r, const QcOptions& o, const ProgressCallback& progress) {
    const auto every = [](const raw::functions_inf::FunctionInfo&) { return true; };
    if (auto whole = exporting::check_complete(r, every, o.allow_incomplete); !whole)
        return fail(std::move(whole.error()));
    RunQc q;
    describe(r, q);
    std::uint64_t total = 0;
    const std::uint64_t lock_scans = exporting::lock_scan_count(r);
    for (const FunctionEntry& e : r.functions()) total += e.idx.size();
    if (!o.lockmass) total += lock_scans;
    Tally tally(progress, total);
    tally.start();

    RunPass run{r, o, o.lockmass, traces_sharing_a_plot(r, false), traces_sharing_a_plot(r, true), q.metrics,
                {}, {}, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), {}};
    if (lock_scans > 0 && !run.reference) {
        auto found = strongest_lock_peak(r, tally);
        if (!found) return fail(std::move(found.error()));
        run.reference = *found;
        if (!run.reference) q.lock_note = "the lock-mass scans hold no peak";
    }
    if (lock_scans == 0) q.lock_note = "the run has no lock-mass scans";

    for (const FunctionEntry& e : r.functions()) {
        auto f = measure_function(run, e, tally);
        if (!f) return fail(std::move(f.error()));
        q.functions.push_back(std::move(*f));
    }
    // Spectra at the apex of each function's TIC: one more scan each.
    for (FunctionQc& f : q.functions) {
        if (!f.apex_scan) continue;
        auto scan = r.decode_scan(f.number, *f.apex_scan);
        if (!scan) return fail(std::move(scan.error()));
        f.apex_spectrum = spectrum_points(scan->mz, scan->intensity, scan->drift_time_ms, o.spectrum_points,
                                          f.apex_binned);
    }
    ms1_metrics(run);
    if (lock_scans > 0 && run.reference) lock_drift(run, q, lock_scans);
    auto channels = measure_channels(r, o);
    if (!channels) return fail(std::move(channels.error()));
    q.channels = std::move(*channels);
    pump_pressure(q);
    tally.finish();
    return q;
}

}  // namespace kestrune::qc

namespace kestrune {

Result<RunQc> measure_run(const Run& run, const QcOptions& options, const ProgressCallback& progress) {
    if (auto ok = options.validate(); !ok) return fail(std::move(ok.error()));
    return qc::measure(api::reader_of(run), options, progress);
}

}  // namespace kestrune
