#include "qc/metric_table.h"

#include <array>

#include <fmt/format.h>

#include "text.h"

namespace kestrune::qc {

namespace {

using M = const QcMetrics&;
using Q = const RunQc&;
using W = JsonWriter&;

template <class Range>
void numbers(W w, const Range& values) {
    w.begin_array();
    for (double v : values) w.value(v);
    w.end_array();
}

template <class A>
void optional_numbers(W w, const std::optional<A>& a) {
    if (a)
        numbers(w, *a);
    else
        w.null();
}

template <std::size_t N, class A>
std::optional<double> element(const std::optional<A>& a) {
    if (!a) return std::nullopt;
    return (*a)[N];
}

std::optional<double> minutes(const std::optional<double>& seconds) {
    if (!seconds) return std::nullopt;
    return *seconds / 60.0;
}

void pump(W w, M m) {
    if (!m.pump_pressure) return void(w.null());
    w.begin_object();
    w.key("channel").value(m.pump_pressure->channel);
    w.key("units").value(m.pump_pressure->units);
    w.key("min").value(m.pump_pressure->min);
    w.key("median").value(m.pump_pressure->median);
    w.key("max").value(m.pump_pressure->max);
    w.end_object();
}

bool always(Q) { return true; }
std::string no_description(Q) { return {}; }

constexpr Column kMs1Spectra[] = {{"MS1 spectra", "", [](M m) -> std::optional<double> { return double(m.ms1_spectra); }}};
constexpr Column kMs2Spectra[] = {{"MS2 spectra", "", [](M m) -> std::optional<double> { return double(m.ms2_spectra); }}};
constexpr Column kTicArea[] = {{"area under TIC", "counts", [](M m) -> std::optional<double> { return m.tic_area; }}};
constexpr Column kQuartiles[] = {
    {"MS1 TIC Q1", "counts", [](M m) { return element<0>(m.ms1_tic_quartiles); }},
    {"MS1 TIC median", "counts", [](M m) { return element<1>(m.ms1_tic_quartiles); }},
    {"MS1 TIC Q3", "counts", [](M m) { return element<2>(m.ms1_tic_quartiles); }},
    {"MS1 TIC max", "counts", [](M m) { return element<3>(m.ms1_tic_quartiles); }},
};
constexpr Column kJumps[] = {{"MS1 jumps (10x)", "", [](M m) -> std::optional<double> { return double(m.ms1_jumps); }}};
constexpr Column kFalls[] = {{"MS1 falls (10x)", "", [](M m) -> std::optional<double> { return double(m.ms1_falls); }}};
constexpr Column kFirstScan[] = {{"first scan", "min", [](M m) { return minutes(m.rt_start_s); }}};
constexpr Column kLastScan[] = {{"last scan", "min", [](M m) { return minutes(m.rt_end_s); }}};
constexpr Column kCycle[] = {{"MS1 median cycle time", "s", [](M m) { return m.ms1_median_cycle_s; }}};
constexpr Column kLockMedian[] = {{"lock mass error median", "ppm", [](M m) { return m.lock_ppm_median; }}};
constexpr Column kLockSd[] = {{"lock mass error SD", "ppm", [](M m) { return m.lock_ppm_sd; }}};
constexpr Column kPump[] = {
    {"pump pressure min", "",
     [](M m) -> std::optional<double> { return m.pump_pressure ? std::optional(m.pump_pressure->min) : std::nullopt; },
     true},
    {"pump pressure median", "",
     [](M m) -> std::optional<double> { return m.pump_pressure ? std::optional(m.pump_pressure->median) : std::nullopt; },
     true},
    {"pump pressure max", "",
     [](M m) -> std::optional<double> { return m.pump_pressure ? std::optional(m.pump_pressure->max) : std::nullopt; },
     true},
};

const Metric kMetrics[] = {
    {"ms1_spectra", [](W w, M m) { w.value(std::uint64_t(m.ms1_spectra)); }, kMs1Spectra,
     QualityMetric{&term::kNumberOfMs1Spectra, &term::kUnitCount, always,
                   [](W w, Q q) { w.value(std::uint64_t(q.metrics.ms1_spectra)); }, no_description}},
    {"ms2_spectra", [](W w, M m) { w.value(std::uint64_t(m.ms2_spectra)); }, kMs2Spectra,
     QualityMetric{&term::kNumberOfMs2Spectra, &term::kUnitCount, always,
                   [](W w, Q q) { w.value(std::uint64_t(q.metrics.ms2_spectra)); }, no_description}},
    {"tic_area", [](W w, M m) { w.value(m.tic_area); }, kTicArea,
     QualityMetric{&term::kAreaUnderTic, nullptr, always, [](W w, Q q) { w.value(q.metrics.tic_area); },
                   no_description}},
    {"tic_area_ms1", [](W w, M m) { w.value(m.tic_area_ms1); }, {},
     QualityMetric{&term::kAreaUnderTicMs1, nullptr, always, [](W w, Q q) { w.value(q.metrics.tic_area_ms1); },
                   no_description}},
    {"tic_area_ms2", [](W w, M m) { w.value(m.tic_area_ms2); }, {},
     QualityMetric{&term::kAreaUnderTicMs2, nullptr, always, [](W w, Q q) { w.value(q.metrics.tic_area_ms2); },
                   no_description}},
    {"ms1_tic_quartiles", [](W w, M m) { optional_numbers(w, m.ms1_tic_quartiles); }, kQuartiles, std::nullopt},
    {"ms1_tic_quartile_ratios", [](W w, M m) { optional_numbers(w, m.ms1_tic_quartile_ratios); }, {},
     QualityMetric{&term::kMs1TicQuantileRatios, &term::kUnitFraction,
                   [](Q q) { return q.metrics.ms1_tic_quartile_ratios.has_value(); },
                   [](W w, Q q) { numbers(w, *q.metrics.ms1_tic_quartile_ratios); },
                   [](Q) { return std::string("log10 of Q2/Q1, Q3/Q2 and max/Q3 of the MS1 total ion currents"); }}},
    {"tic_quartile_rt_fractions", [](W w, M m) { optional_numbers(w, m.tic_quartile_rt_fractions); }, {},
     QualityMetric{&term::kTicQuantileRtFraction, &term::kUnitFraction,
                   [](Q q) { return q.metrics.tic_quartile_rt_fractions.has_value(); },
                   [](W w, Q q) { numbers(w, *q.metrics.tic_quartile_rt_fractions); }, no_description}},
    {"ms1_jumps", [](W w, M m) { w.value(std::uint64_t(m.ms1_jumps)); }, kJumps,
     QualityMetric{&term::kMs1SignalJumps, &term::kUnitCount, [](Q q) { return q.metrics.ms1_spectra > 0; },
                   [](W w, Q q) { w.value(std::uint64_t(q.metrics.ms1_jumps)); }, no_description}},
    {"ms1_falls", [](W w, M m) { w.value(std::uint64_t(m.ms1_falls)); }, kFalls,
     QualityMetric{&term::kMs1SignalFalls, &term::kUnitCount, [](Q q) { return q.metrics.ms1_spectra > 0; },
                   [](W w, Q q) { w.value(std::uint64_t(q.metrics.ms1_falls)); }, no_description}},
    {"rt_start_s", [](W w, M m) { w.value(m.rt_start_s); }, kFirstScan,
     QualityMetric{&term::kRtAcquisitionRange, &term::kUnitSecond,
                   [](Q q) { return q.metrics.rt_start_s && q.metrics.rt_end_s; },
                   [](W w, Q q) { numbers(w, std::array{*q.metrics.rt_start_s, *q.metrics.rt_end_s}); },
                   no_description}},
    {"rt_end_s", [](W w, M m) { w.value(m.rt_end_s); }, kLastScan, std::nullopt},
    {"ms1_median_cycle_s", [](W w, M m) { w.value(m.ms1_median_cycle_s); }, kCycle,
     QualityMetric{&term::kMs1MedianCycleTime, &term::kUnitSecond,
                   [](Q q) { return q.metrics.ms1_median_cycle_s.has_value(); },
                   [](W w, Q q) { w.value(*q.metrics.ms1_median_cycle_s); }, no_description}},
    {"lock_ppm_median", [](W w, M m) { w.value(m.lock_ppm_median); }, kLockMedian,
     QualityMetric{&term::kObservedMassAccuracy, &term::kUnitPpm,
                   [](Q q) { return q.metrics.lock_ppm_median && q.lock; },
                   [](W w, Q q) { w.value(*q.metrics.lock_ppm_median); },
                   [](Q q) {
                       return fmt::format(
                           "median over the lock-mass scans of the error of the lock-mass peak against m/z {}",
                           text::plain(q.lock->reference_mz));
                   }}},
    {"lock_ppm_sd", [](W w, M m) { w.value(m.lock_ppm_sd); }, kLockSd, std::nullopt},
    {"pump_pressure", pump, kPump, std::nullopt},
};

}  // namespace

std::span<const Metric> metric_table() noexcept { return kMetrics; }

}  // namespace kestrune::qc
