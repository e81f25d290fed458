#include "export/render.h"

#include <algorithm>
#include <numeric>
#include <span>

namespace kestrune::exporting {

namespace {

using mzml::SpectrumEntry;

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

double scan_time_ms(const reader::FunctionEntry& e) { return double(e.info.scan_time_s) * 1000.0; }

std::optional<Polarity> polarity_of(const std::optional<raw::Polarity>& p) {
    if (!p) return std::nullopt;
    return *p == raw::Polarity::Positive ? Polarity::Positive : Polarity::Negative;
}

}  // namespace

namespace {

CentroidOptions scaled(CentroidOptions o) {
    // Encoding D stores intensities in fractions of 2^-16, not ion counts:
    // the default unit of the counting noise is then each spectrum's
    // smallest intensity.
    if (o.ion_intensity == CentroidOptions{}.ion_intensity) o.ion_intensity = 0;
    return o;
}

}  // namespace

SpectrumRenderer::SpectrumRenderer(const reader::Reader& r, const ExportPlan& plan,
                                   const mzml::ArrayEncoding& encoding)
    : r_(r), plan_(plan), encoder_(encoding), counts_(plan.centroiding), scaled_(scaled(plan.centroiding)) {}

void SpectrumRenderer::pick(const PlannedFunction& f, std::span<const double> mz, std::span<const float> intensity) {
    Centroider& c = f.entry->encoding == Encoding::D ? scaled_ : counts_;
    c.centroid(mz, intensity, picked_mz_, picked_in_);
}

Result<RenderedScan> SpectrumRenderer::render(const PlannedScan& sel, std::size_t first_index,
                                              mzml::RenderedSpectra& out, std::uint32_t bin_first,
                                              std::uint32_t bin_last) {
    out_ = &out;
    index_ = first_index;
    const PlannedFunction& f = plan_.functions[sel.function_slot];
    if (auto decoded = plan_.sources->decode(*f.entry, sel.scan, buffer_, scan_); !decoded)
        return fail(std::move(decoded.error()));
    // Summed in record order, as spectrum_stats sums.
    double tic = 0;
    for (float v : scan_.intensity) tic += double(v);
    std::span<const double> mz = scan_.mz;
    if (!plan_.correction.empty()) {
        corrected_.assign(scan_.mz.begin(), scan_.mz.end());
        apply_factor(corrected_, sel.lock_factor);
        mz = corrected_;
    }
    SpectrumEntry e = entry_of(f, scan_);
    if (!scan_.ion_mobility) {
        id_ = native_id(f.entry->number, sel.scan);
        e.id = id_;
        e.mz = mz;
        e.intensity = scan_.intensity;
        if (f.centroid) {
            pick(f, mz, scan_.intensity);
            e.mz = picked_mz_;
            e.intensity = picked_in_;
        }
        emit(e);
    } else if (plan_.ims_layout == ImsLayout::Combined) {
        write_combined(f, sel, e, mz);
    } else {
        mz_.assign(mz.begin(), mz.end());
        if (plan_.ims_layout == ImsLayout::PerBin)
            write_per_bin(f, sel, e, bin_first, bin_last);
        else
            write_summed(f, sel, e);
    }
    return RenderedScan{scan_.rt_min, tic};
}

SpectrumEntry SpectrumRenderer::entry_of(const PlannedFunction& f, const Scan& scan) const {
    SpectrumEntry e;
    e.ms_level = f.ms_level;
    e.profile = f.representation == Representation::Profile && !f.centroid;
    e.calibration = f.lock_mass;
    e.acquisition_method = f.acquisition_method;
    e.polarity = polarity_of(r_.extern_inf().polarity);
    e.rt_min = scan.rt_min;
    e.window_low = f.entry->info.mz_low;
    e.window_high = f.entry->info.mz_high;
    e.collision_energy = scan.collision_energy;
    if (f.ms_level > 1) {
        const double low = f.entry->info.mz_low, high = f.entry->info.mz_high;
        if (f.set_mass) {
            e.isolation = mzml::IsolationWindow{*f.set_mass, kNominalIsolationHalfWidth, kNominalIsolationHalfWidth};
            e.selected_mz = f.set_mass;
        } else {
            const double mid = (low + high) / 2;
            e.isolation = mzml::IsolationWindow{mid, mid - low, high - mid};
        }
    }
    return e;
}

// One spectrum per frame, ordered by m/z then drift time.
void SpectrumRenderer::write_combined(const PlannedFunction& f, const PlannedScan& sel, SpectrumEntry& e,
                                      std::span<const double> mz) {
    const std::vector<double>& drift = scan_.drift_time_ms;
    id_ = native_id(f.entry->number, sel.scan);
    e.id = id_;
    e.ims = true;
    if (f.centroid) {
        // Each drift bin centroided on its own, then all in m/z, drift order.
        mz_.assign(mz.begin(), mz.end());
        const auto by_bin = frame_order(drift, mz_);
        frame_mz_.clear();
        frame_in_.clear();
        frame_drift_.clear();
        for (std::size_t lo = 0; lo < by_bin.size();) {
            std::size_t hi = lo + 1;
            while (hi < by_bin.size() && drift[by_bin[hi]] == drift[by_bin[lo]]) ++hi;
            gather(mz_, by_bin, lo, hi, sorted_mz_);
            gather(scan_.intensity, by_bin, lo, hi, sorted_in_);
            pick(f, sorted_mz_, sorted_in_);
            frame_mz_.insert(frame_mz_.end(), picked_mz_.begin(), picked_mz_.end());
            frame_in_.insert(frame_in_.end(), picked_in_.begin(), picked_in_.end());
            frame_drift_.insert(frame_drift_.end(), picked_mz_.size(), drift[by_bin[lo]]);
            lo = hi;
        }
        const auto order = frame_order(frame_mz_, frame_drift_);
        gather(frame_mz_, order, 0, order.size(), sorted_mz_);
        gather(frame_in_, order, 0, order.size(), sorted_in_);
        gather(frame_drift_, order, 0, order.size(), sorted_drift_);
        e.mz = sorted_mz_;
        e.intensity = sorted_in_;
        e.drift_ms = sorted_drift_;
        emit(e);
        return;
    }
    bool sorted = true;
    for (std::size_t i = 1; i < mz.size() && sorted; ++i)
        sorted = mz[i - 1] < mz[i] || (mz[i - 1] == mz[i] && drift[i - 1] <= drift[i]);
    if (sorted) {  // written as decoded, no copies
        e.mz = mz;
        e.intensity = scan_.intensity;
        e.drift_ms = drift;
    } else {
        mz_.assign(mz.begin(), mz.end());
        const auto order = frame_order(mz_, drift);
        gather(mz_, order, 0, order.size(), sorted_mz_);
        gather(scan_.intensity, order, 0, order.size(), sorted_in_);
        gather(drift, order, 0, order.size(), sorted_drift_);
        e.mz = sorted_mz_;
        e.intensity = sorted_in_;
        e.drift_ms = sorted_drift_;
    }
    emit(e);
}

// One spectrum per drift time of the frame, sorted by m/z.
void SpectrumRenderer::write_per_bin(const PlannedFunction& f, const PlannedScan& sel, SpectrumEntry& e,
                                     std::uint32_t bin_first, std::uint32_t bin_last) {
    const std::vector<double>& drift = scan_.drift_time_ms;
    const auto order = frame_order(drift, mz_);
    std::uint32_t bin = 0;
    for (std::size_t lo = 0; lo < order.size() && bin < bin_last; ++bin) {
        std::size_t hi = lo + 1;
        while (hi < order.size() && drift[order[hi]] == drift[order[lo]]) ++hi;
        if (bin < bin_first) {
            lo = hi;
            continue;
        }
        gather(mz_, order, lo, hi, sorted_mz_);
        gather(scan_.intensity, order, lo, hi, sorted_in_);
        const double d = drift[order[lo]];
        id_ = native_id(f.entry->number, per_bin_scan(sel.scan, d, scan_time_ms(*f.entry)) - 1);
        e.id = id_;
        e.mz = sorted_mz_;
        e.intensity = sorted_in_;
        if (f.centroid) {
            pick(f, sorted_mz_, sorted_in_);
            e.mz = picked_mz_;
            e.intensity = picked_in_;
        }
        e.drift_ms_of_scan = d;
        emit(e);
        lo = hi;
    }
}

// One spectrum per frame with the intensities of equal m/z summed.
void SpectrumRenderer::write_summed(const PlannedFunction& f, const PlannedScan& sel, SpectrumEntry& e) {
    const auto order = frame_order(mz_, scan_.drift_time_ms);
    sorted_mz_.clear();
    summed_.clear();
    for (std::uint32_t i : order) {
        if (!sorted_mz_.empty() && sorted_mz_.back() == mz_[i])
            summed_.back() += double(scan_.intensity[i]);
        else {
            sorted_mz_.push_back(mz_[i]);
            summed_.push_back(double(scan_.intensity[i]));
        }
    }
    id_ = native_id(f.entry->number, sel.scan);
    e.id = id_;
    e.mz = sorted_mz_;
    e.intensity_is_64 = true;
    e.intensity64 = summed_;
    if (f.centroid) {
        // The summed spectrum centroided: summed counts, 32-bit as centroids are.
        summed_in_.assign(summed_.begin(), summed_.end());
        pick(f, sorted_mz_, summed_in_);
        e.mz = picked_mz_;
        e.intensity_is_64 = false;
        e.intensity = picked_in_;
    }
    emit(e);
}

}  // namespace kestrune::exporting
