// Quality and speed of the centroider on synthetic time-of-flight profile
// spectra of known truth (tests/cpp/support/synthetic_spectrum.h), over a
// grid of resolving powers, samplings and noise levels, and on
// ion-mobility-like drift-bin spectra (4 to 5 samples per FWHM, few peaks,
// low counts, the integer flight-time grid).
//
// For every row: recall of isolated peaks with an apex of at least 50
// counts, median and 95th percentile of |m/z error| in ppm and in units of
// the statistical limit sigma / sqrt(N) (an ideal estimator's median is
// 0.67), the fraction of peaks split, the fraction of doublets 1.6 FWHM
// apart resolved, the fraction of peaks whose summed counts lie within 5% of
// their ions, centroids per profile point, and speed (spectra/s and MB/s of
// input, 12 bytes per point, per processor second of the measuring thread).
//
//   centroid_quality                  the library's centroider, every row
//   centroid_quality --compare        also the alternatives, pooled over the rows
//   centroid_quality --variant NAME   one alternative, every row
//   centroid_quality --quick          fewer spectra per row
//   centroid_quality --untimed        quality only, each spectrum centroided once:
//                                     a fixed workload, for instruction counts
//                                     (valgrind --tool=callgrind)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "centroid/centroid.h"
#include "support/synthetic_spectrum.h"

namespace {

using kestrune::CentroidOptions;
using kestrune::centroid::Engine;
using kestrune::centroid::Estimator;
using kestrune::centroid::Smoothing;
using kestrune::centroid::Tuning;
using kestrune::testing::CentroidTally;
using kestrune::testing::quantile;
using kestrune::testing::SpectrumPlan;
using kestrune::testing::SyntheticSpectrum;

struct Variant {
    const char* name;
    const char* what;
    Tuning tuning;
    CentroidOptions options;
};

std::vector<Variant> variants() {
    std::vector<Variant> v;
    const Tuning base;
    const CentroidOptions opts;
    v.push_back({"default", "weighted mean, 1-2-1 smoothing, valley 2.5 sd, unmixing", base, opts});
    {
        Tuning t = base;
        t.unmix = false;
        v.push_back({"cut", "as default, touching peaks cut at the valley instead of unmixed", t, opts});
    }
    for (double w : {1.5, 2.5}) {
        Tuning t = base;
        t.unmix = false;
        t.estimator = Estimator::Core;
        t.core_sigmas = w;
        v.push_back({w == 1.5 ? "core1.5" : "core2.5", w == 1.5 ? "weighted mean over +-1.5 sigma, moved to convergence"
                                                              : "weighted mean over +-2.5 sigma, moved to convergence",
                     t, opts});
    }
    {
        Tuning t = base;
        t.unmix = false;
        t.estimator = Estimator::Parabola3;
        v.push_back({"parabola3", "parabola through the top sample and its neighbours", t, opts});
        t.estimator = Estimator::Gauss3;
        v.push_back({"gauss3", "Gaussian (parabola in log space) through 3 samples", t, opts});
    }
    {
        Tuning t = base;
        t.smoothing = Smoothing::None;
        v.push_back({"raw", "as default, detection on unsmoothed samples", t, opts});
        t.smoothing = Smoothing::Binomial5;
        v.push_back({"binomial5", "as default, detection on 1-4-6-4-1 smoothing", t, opts});
    }
    for (double k : {1.0, 1.5, 2.0, 3.0, 4.0}) {
        CentroidOptions o = opts;
        o.valley_significance = k;
        v.push_back({k == 1.0 ? "valley1" : k == 1.5 ? "valley1.5" : k == 2.0 ? "valley2" : k == 3.0 ? "valley3" : "valley4", "as default, other valley significance", base, o});
    }
    for (int rounds : {1, 2, 3, 4, 8}) {
        for (double step : {1.0, 1.5}) {
            Tuning t = base;
            t.unmix_rounds = rounds;
            t.unmix_step = step;
            static const char* names[2][9] = {{"", "em1", "em2", "em3", "em4", "", "", "", "em8"},
                                              {"", "em1x", "em2x", "em3x", "em4x", "", "", "", "em8x"}};
            v.push_back({names[step > 1][rounds], step > 1 ? "as default, at most this many rounds, steps times 1.5"
                                                          : "as default, at most this many rounds, plain steps",
                         t, opts});
        }
    }
    {
        Tuning t = base;
        t.gap_factor = 1.5;
        v.push_back({"nogap", "as default, any missing sample ends a stretch", t, opts});
        t.gap_factor = 3.5;
        v.push_back({"gap3", "as default, up to 2 missing samples within a stretch", t, opts});
    }
    return v;
}

struct Row {
    std::string name;
    SpectrumPlan plan;
    std::size_t spectra;
    std::vector<SyntheticSpectrum> data;
    std::size_t points = 0;
};

std::vector<Row> rows(bool quick) {
    std::vector<Row> out;
    const std::size_t n1 = quick ? 6 : 20;
    for (double rp : {10000.0, 18000.0, 40000.0})
        for (double ppf : {4.0, 6.0, 10.0})
            for (double noise : {0.0, 0.02}) {
                Row r;
                char buf[64];
                std::snprintf(buf, sizeof buf, "R%.0fk %2.0f/FWHM noise %.2f", rp / 1000, ppf, noise);
                r.name = buf;
                r.plan.resolving_power = rp;
                r.plan.samples_per_fwhm = ppf;
                r.plan.noise = noise;
                r.spectra = n1;
                out.push_back(r);
            }
    {
        Row r;
        r.name = "R18k 6/FWHM 100-2000";
        r.plan.mz_low = 100;
        r.plan.mz_high = 2000;
        r.plan.peaks = 400;
        r.plan.doublets = 60;
        r.plan.noise = 0.01;
        r.spectra = n1;
        out.push_back(r);
    }
    // Noise hits between the samples of the grid, as samples of their own.
    for (double noise : {0.02, 0.1}) {
        Row r;
        char buf[64];
        std::snprintf(buf, sizeof buf, "R18k  6/FWHM off-grid %.2f", noise);
        r.name = buf;
        r.plan.noise = noise;
        r.plan.noise_off_grid = true;
        r.spectra = n1;
        out.push_back(r);
    }
    // Each peak on a grid of its own, as rawwriter.profile_peaks writes them.
    for (double ppf : {4.0, 6.0, 10.0}) {
        Row r;
        char buf[64];
        std::snprintf(buf, sizeof buf, "R18k %2.0f/FWHM own grids", ppf);
        r.name = buf;
        r.plan.samples_per_fwhm = ppf;
        r.plan.noise = 0.02;
        r.plan.own_grids = true;
        r.spectra = n1;
        out.push_back(r);
    }
    // Heavy noise: up to a hit on every third sample.
    for (double noise : {0.1, 0.3}) {
        Row r;
        char buf[64];
        std::snprintf(buf, sizeof buf, "R18k  6/FWHM noise %.2f", noise);
        r.name = buf;
        r.plan.noise = noise;
        r.spectra = n1;
        out.push_back(r);
    }
    // Ion-mobility drift bins: few peaks of few counts, sparse noise.
    for (double ppf : {4.0, 5.0})
        for (double rp : {10000.0, 20000.0, 40000.0}) {
            Row r;
            char buf[64];
            std::snprintf(buf, sizeof buf, "IMS R%.0fk %.0f/FWHM", rp / 1000, ppf);
            r.name = buf;
            r.plan.mz_low = 400;
            r.plan.mz_high = 1400;
            r.plan.resolving_power = rp;
            r.plan.samples_per_fwhm = ppf;
            r.plan.peaks = 12;
            r.plan.doublets = 2;
            r.plan.apex_min = 5;
            r.plan.apex_max = 2000;
            r.plan.noise = 0.0005;
            r.spectra = quick ? 100 : 300;
            out.push_back(r);
        }
    std::uint64_t seed = 1;
    for (Row& r : out) {
        for (std::size_t i = 0; i < r.spectra; ++i) {
            r.data.push_back(kestrune::testing::make_spectrum(r.plan, seed++));
            r.points += r.data.back().mz.size();
        }
    }
    return out;
}

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Result {
    CentroidTally tally;
    double seconds = 0;
    std::size_t spectra = 0, points = 0;
};

Result measure(const Variant& v, const Row& row, bool timed) {
    Result res;
    Engine engine(v.options, v.tuning);
    std::vector<double> mz;
    std::vector<float> intensity;
    for (const SyntheticSpectrum& s : row.data) {
        engine.run(s.mz, s.intensity, mz, intensity);
        res.tally.add(s, mz, intensity);
    }
    if (timed) {
        // Repeat until about 0.3 s of this thread's processor time have
        // passed (the machine may be shared: wall time would count others).
        const double start = thread_seconds();
        double elapsed = 0;
        while (elapsed < 0.3) {
            for (const SyntheticSpectrum& s : row.data) engine.run(s.mz, s.intensity, mz, intensity);
            res.spectra += row.data.size();
            res.points += row.points;
            elapsed = thread_seconds() - start;
        }
        res.seconds = elapsed;
    }
    return res;
}

void header() {
    std::printf("%-24s %6s %6s %6s %6s %6s %6s %6s %6s %6s %7s %9s %7s\n", "row", "recall", "ppm50", "ppm95", "lim50",
                "lim95", "split", "doubl", "sum5%", "pts", "dup", "spectra/s", "MB/s");
}

void print(const std::string& name, const Result& r) {
    const auto& t = r.tally;
    const double mbs = r.seconds > 0 ? static_cast<double>(r.points) * 12 / 1e6 / r.seconds : 0;
    const double sps = r.seconds > 0 ? static_cast<double>(r.spectra) / r.seconds : 0;
    std::printf("%-24s %5.1f%% %6.2f %6.2f %6.2f %6.2f %5.2f%% %5.1f%% %5.1f%% %6.3f %7zu %9.0f %7.0f\n", name.c_str(),
                100 * t.recall(), quantile(t.error_ppm, 0.5), quantile(t.error_ppm, 0.95), quantile(t.error_limit, 0.5),
                quantile(t.error_limit, 0.95), 100 * t.split_fraction(), 100 * t.resolved_fraction(),
                100 * t.counts_fraction(), t.points_ratio(), t.not_increasing, sps, mbs);
}

void merge(CentroidTally& into, const CentroidTally& t) {
    into.strong += t.strong;
    into.found += t.found;
    into.split += t.split;
    into.counts_within_5pc += t.counts_within_5pc;
    into.error_ppm.insert(into.error_ppm.end(), t.error_ppm.begin(), t.error_ppm.end());
    into.error_limit.insert(into.error_limit.end(), t.error_limit.begin(), t.error_limit.end());
    into.doublets += t.doublets;
    into.doublet_error_limit.insert(into.doublet_error_limit.end(), t.doublet_error_limit.begin(),
                                    t.doublet_error_limit.end());
    into.doublet_counts_within_5pc += t.doublet_counts_within_5pc;
    into.resolved += t.resolved;
    into.profile_points += t.profile_points;
    into.centroids += t.centroids;
    into.not_increasing += t.not_increasing;
}

void full_table(const Variant& v, const std::vector<Row>& rs, bool timed) {
    std::printf("\n%s: %s\n", v.name, v.what);
    header();
    for (const Row& r : rs) print(r.name, measure(v, r, timed));
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false, compare = false, timed = true;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--quick") quick = true;
        else if (a == "--compare") compare = true;
        else if (a == "--untimed") timed = false;
        else if (a == "--variant" && i + 1 < argc) only = argv[++i];
        else {
            std::fprintf(stderr, "usage: centroid_quality [--quick] [--untimed] [--compare] [--variant NAME]\n");
            return 2;
        }
    }
    const std::vector<Variant> vs = variants();
    const std::vector<Row> rs = rows(quick);
    std::size_t peaks = 0, points = 0;
    for (const Row& r : rs) {
        peaks += r.spectra * (r.plan.peaks + 2 * r.plan.doublets);
        points += r.points;
    }
    std::printf("%zu rows, %zu peaks and %zu profile points in all; lim = |error| / (sigma / sqrt(N)); pts = centroids per profile point\n",
                rs.size(), peaks, points);

    if (!only.empty()) {
        for (const Variant& v : vs)
            if (only == v.name) full_table(v, rs, timed);
        return 0;
    }
    full_table(vs[0], rs, timed);
    if (!compare) return 0;

    std::printf("\nAlternatives, pooled over the one-dimensional rows and over the ion-mobility rows"
                " (worst row's recall / split / doublets in brackets):\n");
    std::printf("%-10s %-5s %6s %6s %6s %6s %6s %6s %6s %6s %6s %6s %6s  %s\n", "variant", "rows", "recall", "ppm50",
                "ppm95", "lim50", "lim95", "split", "doubl", "dlim50", "dsum5%", "sum5%", "pts",
                "worst: recall split doublets");
    for (const Variant& v : vs) {
        for (int ims = 0; ims < 2; ++ims) {
            CentroidTally pooled;
            double worst_recall = 1, worst_split = 0, worst_resolved = 1;
            for (const Row& r : rs) {
                if ((r.name.rfind("IMS", 0) == 0) != (ims == 1)) continue;
                const Result res = measure(v, r, false);
                merge(pooled, res.tally);
                worst_recall = std::min(worst_recall, res.tally.recall());
                worst_split = std::max(worst_split, res.tally.split_fraction());
                if (res.tally.doublets > 0) worst_resolved = std::min(worst_resolved, res.tally.resolved_fraction());
            }
            std::printf("%-10s %-5s %5.1f%% %6.2f %6.2f %6.2f %6.2f %5.2f%% %5.1f%% %6.2f %5.1f%% %5.1f%% %6.3f  %5.1f%% "
                        "%5.2f%% %5.1f%%\n",
                        v.name, ims ? "IMS" : "1-D", 100 * pooled.recall(), quantile(pooled.error_ppm, 0.5),
                        quantile(pooled.error_ppm, 0.95), quantile(pooled.error_limit, 0.5),
                        quantile(pooled.error_limit, 0.95), 100 * pooled.split_fraction(),
                        100 * pooled.resolved_fraction(), quantile(pooled.doublet_error_limit, 0.5),
                        100 * pooled.doublet_counts_fraction(), 100 * pooled.counts_fraction(), pooled.points_ratio(),
                        100 * worst_recall, 100 * worst_split, 100 * worst_resolved);
        }
    }
    std::printf("\n");
    for (const Variant& v : vs) std::printf("%-10s %s\n", v.name, v.what);
    return 0;
}
