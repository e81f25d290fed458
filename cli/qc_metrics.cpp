#include "qc_metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <variant>

#include <fmt/format.h>

#include "export.h"
#include "lockmass.h"
#include "mzml_writer.h"
#include "progress.h"
#include "reader/reader.h"
#include "representation.h"
#include "text.h"

namespace kestrune::cli {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using reader::DecodedSpectrum;
using reader::FunctionEntry;
using reader::Reader;

struct Arrays {
    std::span<const double> mz;
    std::span<const float> intensity;
    std::span<const double> drift;
};
Arrays arrays_of(const DecodedSpectrum& d) {
    if (const auto* s = std::get_if<raw::data::Spectrum>(&d.data)) return {s->mz, s->intensity, {}};
    const auto& ims = std::get<raw::data::ImsSpectrum>(d.data);
    return {ims.mz, ims.intensity, ims.drift_time_ms};
}

// The spectrum as at most `max_points` points in m/z order: equal m/z
// merged, and summed into equal-width bins when still too many.
XY spectrum_points(const Arrays& a, std::size_t max_points, bool& binned) {
    const std::size_t n = std::min(a.mz.size(), a.intensity.size());
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return a.mz[i] < a.mz[j]; });
    XY merged;
    for (std::size_t i : order) {
        if (!std::isfinite(a.mz[i])) continue;
        if (!merged.x.empty() && merged.x.back() == a.mz[i])
            merged.y.back() += double(a.intensity[i]);
        else {
            merged.x.push_back(a.mz[i]);
            merged.y.push_back(double(a.intensity[i]));
        }
    }
    binned = !a.drift.empty() && merged.size() < n;
    if (merged.size() <= max_points || max_points == 0) return merged;
    binned = true;
    const double lo = merged.x.front(), hi = merged.x.back();
    const double width = (hi - lo) / double(max_points);
    XY out;
    out.x.resize(max_points);
    out.y.assign(max_points, 0.0);
    for (std::size_t b = 0; b < max_points; ++b) out.x[b] = lo + (double(b) + 0.5) * width;
    for (std::size_t i = 0; i < merged.size(); ++i) {
        std::size_t b = width > 0 ? std::size_t((merged.x[i] - lo) / width) : 0;
        out.y[std::min(b, max_points - 1)] += merged.y[i];
    }
    return out;
}

struct Ms1Series {
    std::vector<double> rt_min;
    std::vector<double> tic;
};

}  // namespace

// ---------------------------------------------------------------------------

double quantile_sorted(std::span<const double> sorted, double p) noexcept {
    if (sorted.empty()) return kNaN;
    const double pos = std::clamp(p, 0.0, 1.0) * double(sorted.size() - 1);
    const std::size_t lo = std::size_t(std::floor(pos));
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    const double frac = pos - double(lo);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * frac;
}

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return quantile_sorted(values, 0.5);
}

std::optional<double> sample_sd(std::span<const double> values) noexcept {
    if (values.size() < 2) return std::nullopt;
    double mean = 0;
    for (double v : values) mean += v;
    mean /= double(values.size());
    double ss = 0;
    for (double v : values) ss += (v - mean) * (v - mean);
    return std::sqrt(ss / double(values.size() - 1));
}

SignalJumps signal_jumps(std::span<const double> tic, double factor) noexcept {
    SignalJumps out;
    for (std::size_t i = 1; i < tic.size(); ++i) {
        if (tic[i] > factor * tic[i - 1]) ++out.jumps;
        if (tic[i] * factor < tic[i - 1]) ++out.falls;
    }
    return out;
}

std::optional<std::vector<double>> tic_quantile_rt_fractions(std::span<const double> rt, std::span<const double> tic,
                                                             int parts) {
    const std::size_t n = std::min(rt.size(), tic.size());
    if (n < 2 || parts < 1) return std::nullopt;
    const double total = std::accumulate(tic.begin(), tic.begin() + std::ptrdiff_t(n), 0.0);
    const double duration = rt[n - 1] - rt[0];
    if (!(total > 0) || !(duration > 0)) return std::nullopt;
    std::vector<double> out;
    double previous = rt[0], sum = 0;
    std::size_t i = 0;
    for (int k = 1; k <= parts; ++k) {
        const double target = total * double(k) / double(parts);
        while (i < n && sum + tic[i] < target) sum += tic[i++];
        const double t = i < n ? rt[i] : rt[n - 1];
        out.push_back((t - previous) / duration);
        previous = t;
    }
    return out;
}

Decimator::Decimator(std::size_t total, std::size_t max_points) {
    const std::size_t buckets = std::max<std::size_t>(1, max_points / 2);
    bucket_size_ = total <= max_points ? 1 : (total + buckets - 1) / buckets;
    out_.x.reserve(std::min(total, max_points));
    out_.y.reserve(std::min(total, max_points));
}

void Decimator::add(double x, double y) {
    if (in_bucket_ == 0 || y < min_y_) min_x_ = x, min_y_ = y, min_at_ = in_bucket_;
    if (in_bucket_ == 0 || y > max_y_) max_x_ = x, max_y_ = y, max_at_ = in_bucket_;
    if (++in_bucket_ == bucket_size_) flush();
}

void Decimator::flush() {
    if (in_bucket_ == 0) return;
    const auto push = [&](double x, double y) {
        out_.x.push_back(x);
        out_.y.push_back(y);
    };
    if (min_at_ == max_at_)
        push(min_x_, min_y_);
    else if (min_at_ < max_at_)
        push(min_x_, min_y_), push(max_x_, max_y_);
    else
        push(max_x_, max_y_), push(min_x_, min_y_);
    in_bucket_ = 0;
}

XY Decimator::finish() {
    flush();
    return std::move(out_);
}

Heatmap::Heatmap(double mz_lo, double mz_hi, double drift_lo, double drift_hi, std::size_t bins_x, std::size_t bins_y)
    : mz_low(mz_lo), mz_high(mz_hi), drift_low(drift_lo), drift_high(drift_hi), nx(bins_x), ny(bins_y),
      sum(bins_x * bins_y, 0.0) {}

void Heatmap::add(double mz, double drift_ms, double intensity) noexcept {
    if (nx == 0 || ny == 0 || !std::isfinite(mz) || !std::isfinite(drift_ms) || !std::isfinite(intensity)) return;
    const auto bin = [](double v, double lo, double hi, std::size_t n) {
        const double f = (v - lo) / (hi - lo) * double(n);
        if (!(f > 0)) return std::size_t{0};
        return std::min(std::size_t(f), n - 1);
    };
    sum[bin(drift_ms, drift_low, drift_high, ny) * nx + bin(mz, mz_low, mz_high, nx)] += intensity;
}

bool is_pressure_channel(std::string_view name, std::string_view units) {
    const auto type = channel_kind(units).type;
    return (type && type->accession == term::kPressureChromatogram.accession) ||
           text::ascii_lower(name).find("pressure") != std::string::npos;
}

// ---------------------------------------------------------------------------

namespace {

Result<std::vector<ChannelQc>> measure_channels(const Reader& r, const QcOptions& o) {
    std::vector<ChannelQc> out;
    auto channels = channels_with_samples(r);
    if (!channels) return std::unexpected(std::move(channels.error()));
    for (const ChannelSamples& samples : *channels) {
        const auto& ch = samples.channel;
        ChannelQc c;
        c.index = ch.index;
        c.name = ch.name;
        c.units = ch.units;
        c.pressure = is_pressure_channel(ch.name, ch.units);
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
Result<std::optional<double>> strongest_lock_peak(const Reader& r, Progress& progress, std::uint64_t& done) {
    std::optional<double> mz;
    float best = 0;
    for (const FunctionEntry& e : r.functions()) {
        if (!e.info.is_lock_mass()) continue;
        for (std::uint64_t s = 0; s < e.idx.size(); ++s) {
            auto decoded = r.decode_scan(e.number, s);
            if (!decoded) return std::unexpected(std::move(decoded.error()));
            progress.update(++done);
            const Arrays a = arrays_of(*decoded);
            const SpectrumStats st = spectrum_stats(a.mz, a.intensity);
            if (st.base_peak && (!mz || a.intensity[*st.base_peak] > best)) {
                mz = a.mz[*st.base_peak];
                best = a.intensity[*st.base_peak];
            }
        }
    }
    return mz;
}

std::size_t traces_sharing_a_plot(const Reader& r, bool lock) {
    std::size_t n = 0;
    for (const FunctionEntry& e : r.functions()) n += e.info.is_lock_mass() == lock && e.idx.size() > 0;
    return std::max<std::size_t>(n, 1);
}

}  // namespace

Result<RunQc> measure_run(const std::filesystem::path& run, const QcOptions& o) {
    if (o.lockmass && !(std::isfinite(*o.lockmass) && *o.lockmass > 0))
        return parse_error(fmt::format("--lockmass: {} is not a positive m/z", text::plain(*o.lockmass)));
    if (!(std::isfinite(o.lockmass_tolerance) && o.lockmass_tolerance > 0))
        return parse_error(
            fmt::format("--lockmass-tolerance: {} is not a positive number of Da", text::plain(o.lockmass_tolerance)));
    auto opened = Reader::open(run);
    if (!opened) return std::unexpected(std::move(opened.error()));
    const Reader& r = *opened;

    RunQc q;
    q.name = r.name();
    q.dir = run;
    if (r.header().instrument) q.instrument = *r.header().instrument;
    if (r.header().acquired_date) q.acquired = *r.header().acquired_date;
    if (r.header().acquired_time) q.acquired += (q.acquired.empty() ? "" : " ") + *r.header().acquired_time;

    std::uint64_t total = 0, lock_scans = 0;
    for (const FunctionEntry& e : r.functions()) {
        total += e.idx.size();
        if (e.info.is_lock_mass()) lock_scans += e.idx.size();
    }
    if (!o.lockmass) total += lock_scans;
    Progress progress("qc", total, o.progress);
    std::uint64_t done = 0;

    // The lock-mass reference.
    std::optional<double> reference = o.lockmass;
    if (lock_scans > 0 && !reference) {
        auto found = strongest_lock_peak(r, progress, done);
        if (!found) return std::unexpected(std::move(found.error()));
        reference = *found;
        if (!reference) q.lock_note = "the lock-mass scans hold no peak";
    }
    std::vector<LockPoint> lock_points;
    if (lock_scans == 0) q.lock_note = "the run has no lock-mass scans";

    const std::size_t analysis_traces = traces_sharing_a_plot(r, false);
    const std::size_t lock_traces = traces_sharing_a_plot(r, true);
    QcMetrics& m = q.metrics;
    std::vector<double> cycle_s;
    std::vector<Ms1Series> ms1;
    double rt_lo = std::numeric_limits<double>::infinity(), rt_hi = -rt_lo;

    for (const FunctionEntry& e : r.functions()) {
        FunctionQc f;
        f.number = e.number;
        f.ms_level = r.extern_inf().ms_level(e.number);
        f.lock_mass = e.info.is_lock_mass();
        f.ims = e.encoding == reader::Encoding::B;
        f.scans = e.idx.size();
        const std::size_t budget = o.plot_points / (f.lock_mass ? lock_traces : analysis_traces);
        Decimator tic(f.scans, budget), bpi(f.scans, budget);
        if (f.ims) {
            double lo = e.info.mz_low, hi = e.info.mz_high;
            if (!(hi > lo)) lo = 0, hi = 2000;
            double drift_hi = double(e.info.scan_time_s) * 1000.0;
            if (!(drift_hi > 0)) drift_hi = 100;
            f.heatmap = Heatmap(lo, hi, 0, drift_hi, o.heatmap_mz_bins, o.heatmap_drift_bins);
        }
        // The lock-mass peak is measured as the export measures it.
        bool lock_profile = false;
        if (f.lock_mass && reference) {
            auto judged = detect_representation(r, e);
            if (!judged) return std::unexpected(std::move(judged.error()));
            lock_profile = *judged == Representation::Profile;
        }
        Ms1Series* series = nullptr;
        if (!f.lock_mass && f.ms_level == 1) series = &ms1.emplace_back();
        double previous_rt = kNaN;

        for (std::uint64_t s = 0; s < f.scans; ++s) {
            auto decoded = r.decode_scan(e.number, s);
            if (!decoded) return std::unexpected(std::move(decoded.error()));
            progress.update(++done);
            const Arrays a = arrays_of(*decoded);
            const SpectrumStats st = spectrum_stats(a.mz, a.intensity);
            const double rt = decoded->rt_min;
            const double base = st.base_peak ? double(a.intensity[*st.base_peak]) : 0.0;
            if (std::isfinite(rt)) {
                tic.add(rt, st.tic);
                bpi.add(rt, base);
            }
            if (!f.apex_scan || st.tic > f.apex_tic) {
                f.apex_scan = s;
                f.apex_tic = st.tic;
                f.apex_rt_min = decoded->rt_min;
            }
            if (f.heatmap)
                for (std::size_t i = 0; i < a.drift.size() && i < a.mz.size(); ++i)
                    f.heatmap->add(a.mz[i], a.drift[i], a.intensity[i]);
            if (f.lock_mass) {
                if (!reference) continue;
                const auto peak = find_lock_peak(a.mz, a.intensity, *reference, o.lockmass_tolerance, lock_profile);
                if (peak && std::isfinite(rt)) lock_points.push_back({decoded->rt_min, peak->mz, *reference / peak->mz});
                continue;
            }
            if (std::isfinite(rt)) {
                rt_lo = std::min(rt_lo, rt);
                rt_hi = std::max(rt_hi, rt);
            }
            m.tic_area += st.tic;
            if (f.ms_level == 1) {
                ++m.ms1_spectra;
                m.tic_area_ms1 += st.tic;
                series->tic.push_back(st.tic);
                series->rt_min.push_back(rt);
                if (std::isfinite(rt) && std::isfinite(previous_rt)) cycle_s.push_back((rt - previous_rt) * 60.0);
                if (std::isfinite(rt)) previous_rt = rt;
            } else {
                ++m.ms2_spectra;
                m.tic_area_ms2 += st.tic;
            }
        }
        f.tic = tic.finish();
        f.bpi = bpi.finish();
        q.functions.push_back(std::move(f));
    }

    // Spectra at the apex of each function's TIC: one more scan each.
    for (FunctionQc& f : q.functions) {
        if (!f.apex_scan) continue;
        auto decoded = r.decode_scan(f.number, *f.apex_scan);
        if (!decoded) return std::unexpected(std::move(decoded.error()));
        f.apex_spectrum = spectrum_points(arrays_of(*decoded), o.spectrum_points, f.apex_binned);
    }

    // MS1 metrics.
    std::vector<double> all_tic, sorted_rt, sorted_tic;
    {
        std::vector<std::pair<double, double>> by_time;
        for (const Ms1Series& s : ms1) {
            const SignalJumps j = signal_jumps(s.tic);
            m.ms1_jumps += j.jumps;
            m.ms1_falls += j.falls;
            all_tic.insert(all_tic.end(), s.tic.begin(), s.tic.end());
            for (std::size_t i = 0; i < s.tic.size(); ++i)
                if (std::isfinite(s.rt_min[i])) by_time.emplace_back(s.rt_min[i], s.tic[i]);
        }
        std::stable_sort(by_time.begin(), by_time.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [t, v] : by_time) {
            sorted_rt.push_back(t);
            sorted_tic.push_back(v);
        }
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
    if (rt_lo <= rt_hi) {
        m.rt_start_s = rt_lo * 60.0;
        m.rt_end_s = rt_hi * 60.0;
    }
    if (!cycle_s.empty()) m.ms1_median_cycle_s = median_of(std::move(cycle_s));

    // Lock-mass drift.
    if (lock_scans > 0 && reference) {
        LockDriftQc d;
        d.reference_mz = *reference;
        d.reference_given = o.lockmass.has_value();
        d.tolerance = o.lockmass_tolerance;
        d.scans = lock_scans;
        const LockMassCorrection sorted(std::move(lock_points));
        d.matched = sorted.points().size();
        Decimator trace(d.matched, o.plot_points);
        std::vector<double> ppm;
        for (const LockPoint& p : sorted.points()) {
            const double e = (p.observed_mz - *reference) / *reference * 1e6;
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
                                      text::plain(o.lockmass_tolerance), text::plain(*reference));
        }
        m.lock_ppm_median = d.median;
        m.lock_ppm_sd = d.sd;
        q.lock = std::move(d);
    }

    auto channels = measure_channels(r, o);
    if (!channels) return std::unexpected(std::move(channels.error()));
    q.channels = std::move(*channels);
    const ChannelQc* pump = nullptr;
    for (const ChannelQc& c : q.channels) {
        if (!c.pressure || c.points == 0) continue;
        if (!pump || (text::ascii_lower(c.name).find("pump") != std::string::npos &&
                      text::ascii_lower(pump->name).find("pump") == std::string::npos))
            pump = &c;
    }
    if (pump) m.pump_pressure = PressureSummary{pump->name, pump->units, pump->min, pump->median, pump->max};
    progress.finish();
    return q;
}

}  // namespace kestrune::cli
