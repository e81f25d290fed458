#include "support/synthetic_spectrum.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace kestrune::testing {

namespace {

constexpr double kFwhmPerSigma = 2.3548200450309493;

// Groups of peaks to place: one isolated peak, or a doublet.
struct Group {
    double apex_first, apex_second;  // second is 0 for an isolated peak
};

}  // namespace

SyntheticSpectrum make_spectrum(const SpectrumPlan& plan, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double s_low = std::sqrt(plan.mz_low), s_high = std::sqrt(plan.mz_high);
    const double s_mid = std::sqrt(std::sqrt(plan.mz_low * plan.mz_high));
    // Spacing in sqrt(m/z) giving samples_per_fwhm at the middle:
    // step(m) = 2 sqrt(m) ds and FWHM(m) = m / R.
    const double ds = s_mid / (2.0 * plan.resolving_power * plan.samples_per_fwhm);
    const auto grid = static_cast<std::size_t>((s_high - s_low) / ds) + 1;
    auto mz_at = [&](double k) { const double s = s_low + k * ds; return s * s; };
    auto index_of = [&](double mz) { return (std::sqrt(mz) - s_low) / ds; };

    std::vector<Group> groups;
    const double log_lo = std::log(plan.apex_min), log_hi = std::log(plan.apex_max);
    for (std::size_t i = 0; i < plan.peaks; ++i) groups.push_back({std::exp(log_lo + unit(rng) * (log_hi - log_lo)), 0});
    for (std::size_t i = 0; i < plan.doublets; ++i) {
        // The smaller peak between 50 counts and half the largest apex, the
        // larger up to twice as high.
        const double lo = std::log(50.0), hi = std::log(std::max(50.0, plan.apex_max / 2));
        const double small = std::exp(lo + unit(rng) * (hi - lo));
        const double large = small / (0.5 + 0.5 * unit(rng));
        if (unit(rng) < 0.5)
            groups.push_back({small, large});
        else
            groups.push_back({large, small});
    }
    std::shuffle(groups.begin(), groups.end(), rng);

    SyntheticSpectrum out;
    std::vector<std::uint32_t> counts(grid, 0);
    std::vector<std::pair<double, float>> own;  // samples on the peaks' own grids
    auto add_peak = [&](double centre, double apex) {
        TruePeak p;
        p.mz = centre;
        p.sigma = centre / plan.resolving_power / kFwhmPerSigma;
        p.apex = apex;
        if (plan.own_grids) {
            const double step = centre / plan.resolving_power / plan.samples_per_fwhm;
            const auto half = static_cast<long>(std::lround(2.0 * plan.samples_per_fwhm));
            for (long k = -half; k <= half; ++k) {
                const double x = centre + static_cast<double>(k) * step;
                const double dx = (x - centre) / p.sigma;
                const double lambda = apex * std::exp(-0.5 * dx * dx);
                const auto n = std::max<long>(1, std::poisson_distribution<long>(lambda)(rng));
                own.emplace_back(x, static_cast<float>(n));
                p.counts += static_cast<double>(n);
            }
            out.peaks.push_back(p);
            return;
        }
        const double k0 = index_of(centre - 6 * p.sigma), k1 = index_of(centre + 6 * p.sigma);
        const auto first = static_cast<std::size_t>(std::max(0.0, std::ceil(k0)));
        const auto last = static_cast<std::size_t>(std::min(static_cast<double>(grid - 1), std::floor(k1)));
        for (std::size_t k = first; k <= last; ++k) {
            const double dx = (mz_at(static_cast<double>(k)) - centre) / p.sigma;
            const double lambda = apex * std::exp(-0.5 * dx * dx);
            const auto n = static_cast<std::uint32_t>(std::poisson_distribution<long>(lambda)(rng));
            counts[k] += n;
            p.counts += n;
        }
        out.peaks.push_back(p);
    };

    // Each group in a slot of its own, at least 4 FWHM from the slot's ends.
    const double slot = (s_high - s_low) / static_cast<double>(std::max<std::size_t>(groups.size(), 1));
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const double s0 = s_low + slot * static_cast<double>(g);
        const double centre_guess = (s0 + 0.5 * slot) * (s0 + 0.5 * slot);
        const double margin_s = 4.0 * centre_guess / plan.resolving_power / (2 * std::sqrt(centre_guess)) +
                                plan.doublet_fwhm * centre_guess / plan.resolving_power / (2 * std::sqrt(centre_guess));
        const double span = std::max(0.0, slot - 2 * margin_s);
        const double s = s0 + margin_s + unit(rng) * span;
        const double centre = s * s;
        add_peak(centre, groups[g].apex_first);
        if (groups[g].apex_second > 0) {
            const std::size_t first = out.peaks.size() - 1;
            add_peak(centre + plan.doublet_fwhm * centre / plan.resolving_power, groups[g].apex_second);
            out.peaks[first].partner = static_cast<std::ptrdiff_t>(first + 1);
            out.peaks[first + 1].partner = static_cast<std::ptrdiff_t>(first);
        }
    }

    std::vector<double> off_grid;  // fractional grid positions of hits between samples
    if (plan.noise > 0) {
        std::geometric_distribution<std::size_t> skip(plan.noise);
        for (std::size_t k = skip(rng); k < grid; k += 1 + skip(rng)) {
            if (plan.noise_off_grid || plan.own_grids)
                off_grid.push_back(static_cast<double>(k) + 0.05 + 0.9 * unit(rng));
            else
                counts[k] += 1;
        }
    }
    if (plan.own_grids) {
        for (const double k : off_grid) own.emplace_back(mz_at(k), 1.0f);
        std::sort(own.begin(), own.end());
        for (const auto& [x, y] : own) {
            if (!out.mz.empty() && out.mz.back() == x) {
                out.intensity.back() += y;
                continue;
            }
            out.mz.push_back(x);
            out.intensity.push_back(y);
        }
        return out;
    }
    std::size_t next = 0;
    for (std::size_t k = 0; k < grid; ++k) {
        if (counts[k] != 0) {
            out.mz.push_back(mz_at(static_cast<double>(k)));
            out.intensity.push_back(static_cast<float>(counts[k]));
        }
        for (; next < off_grid.size() && off_grid[next] < static_cast<double>(k + 1); ++next) {
            out.mz.push_back(mz_at(off_grid[next]));
            out.intensity.push_back(1.0f);
        }
    }
    return out;
}

void CentroidTally::add(const SyntheticSpectrum& truth, std::span<const double> mz, std::span<const float> intensity) {
    profile_points += truth.mz.size();
    centroids += mz.size();
    for (std::size_t i = 1; i < mz.size(); ++i) not_increasing += !(mz[i] > mz[i - 1]);
    std::vector<std::size_t> order(mz.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return mz[a] < mz[b]; });
    std::vector<double> sorted(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = mz[order[i]];

    // The index (into order) of the centroid nearest to m, or npos.
    auto nearest = [&](double m) {
        const auto it = std::lower_bound(sorted.begin(), sorted.end(), m);
        std::size_t best = std::numeric_limits<std::size_t>::max();
        double best_d = std::numeric_limits<double>::infinity();
        const auto at = static_cast<std::size_t>(it - sorted.begin());
        for (std::size_t j : {at - 1, at}) {
            if (j >= sorted.size()) continue;
            const double d = std::abs(sorted[j] - m);
            if (d < best_d) best_d = d, best = j;
        }
        return best;
    };
    auto within = [&](double lo, double hi) {
        return static_cast<std::size_t>(std::upper_bound(sorted.begin(), sorted.end(), hi) -
                                        std::lower_bound(sorted.begin(), sorted.end(), lo));
    };

    for (std::size_t i = 0; i < truth.peaks.size(); ++i) {
        const TruePeak& p = truth.peaks[i];
        const double fwhm = p.sigma * kFwhmPerSigma;
        if (p.partner >= 0) {
            const auto j = static_cast<std::size_t>(p.partner);
            if (j < i) continue;
            const TruePeak& q = truth.peaks[j];
            if (std::min(p.apex, q.apex) < strong_apex) continue;
            ++doublets;
            const std::size_t a = nearest(p.mz), b = nearest(q.mz);
            const double q_fwhm = q.sigma * kFwhmPerSigma;
            if (a != b && a < sorted.size() && b < sorted.size() && std::abs(sorted[a] - p.mz) <= 0.4 * fwhm &&
                std::abs(sorted[b] - q.mz) <= 0.4 * q_fwhm) {
                ++resolved;
                for (const auto& [c, t] : {std::pair{a, &p}, std::pair{b, &q}}) {
                    doublet_error_limit.push_back(std::abs(sorted[c] - t->mz) / (t->sigma / std::sqrt(std::max(t->counts, 1.0))));
                    const double got = intensity[order[c]];
                    if (std::abs(got - t->counts) <= 0.05 * t->counts) ++doublet_counts_within_5pc;
                }
            }
            continue;
        }
        if (p.apex < strong_apex) continue;
        ++strong;
        const std::size_t a = nearest(p.mz);
        if (a >= sorted.size() || std::abs(sorted[a] - p.mz) > 0.5 * fwhm) continue;
        ++found;
        if (within(p.mz - fwhm, p.mz + fwhm) >= 2) ++split;
        const double err = std::abs(sorted[a] - p.mz);
        error_ppm.push_back(err / p.mz * 1e6);
        error_limit.push_back(err / (p.sigma / std::sqrt(std::max(p.counts, 1.0))));
        const double got = intensity[order[a]];
        if (std::abs(got - p.counts) <= 0.05 * p.counts) ++counts_within_5pc;
    }
}

double CentroidTally::recall() const { return strong ? static_cast<double>(found) / static_cast<double>(strong) : 0; }
double CentroidTally::split_fraction() const {
    return found ? static_cast<double>(split) / static_cast<double>(found) : 0;
}
double CentroidTally::resolved_fraction() const {
    return doublets ? static_cast<double>(resolved) / static_cast<double>(doublets) : 0;
}
double CentroidTally::counts_fraction() const {
    return found ? static_cast<double>(counts_within_5pc) / static_cast<double>(found) : 0;
}
double CentroidTally::doublet_counts_fraction() const {
    return resolved ? static_cast<double>(doublet_counts_within_5pc) / static_cast<double>(2 * resolved) : 0;
}
double CentroidTally::points_ratio() const {
    return profile_points ? static_cast<double>(centroids) / static_cast<double>(profile_points) : 0;
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    const auto k = std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

}  // namespace kestrune::testing
