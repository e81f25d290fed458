#include "mzqc.h"

#include <array>
#include <set>

#include <fmt/format.h>

#include "export.h"
#include "json.h"
#include "text.h"

namespace kestrune::cli {

namespace {

void term_members(JsonWriter& w, const term::Term& t) {
    w.key("accession").value(t.accession);
    w.key("name").value(t.name);
}

void unit(JsonWriter& w, const term::Term& t) {
    w.key("unit").begin_object();
    term_members(w, t);
    w.end_object();
}

// One qualityMetric; `write_value` writes the value after its key.
template <class F>
void metric(JsonWriter& w, const term::Term& t, const term::Term* u, F&& write_value,
            std::string_view description = {}) {
    w.begin_object();
    term_members(w, t);
    if (!description.empty()) w.key("description").value(description);
    w.key("value");
    write_value();
    if (u) unit(w, *u);
    w.end_object();
}

template <class Range>
void numbers(JsonWriter& w, const Range& values) {
    w.begin_array();
    for (double v : values) w.value(v);
    w.end_array();
}

void run_quality(JsonWriter& w, const RunQc& q, const std::string& label) {
    using namespace qc_term;
    const QcMetrics& m = q.metrics;
    w.begin_object();
    w.key("metadata").begin_object();
    w.key("label").value(label);
    w.key("inputFiles").begin_array().begin_object();
    w.key("name").value(label);
    {
        std::error_code ec;
        std::filesystem::path abs = std::filesystem::absolute(q.dir, ec).lexically_normal();
        if (!abs.has_filename()) abs = abs.parent_path();
        w.key("location").value(file_uri(abs));
    }
    w.key("fileFormat").begin_object();
    term_members(w, term::kWatersRawFormat);
    w.end_object();
    w.end_object().end_array();
    w.key("analysisSoftware").begin_array().begin_object();
    term_members(w, term::kCustomSoftware);
    w.key("value").value("kestrune");
    w.key("version").value(KESTRUNE_VERSION);
    w.end_object().end_array();
    w.end_object();

    w.key("qualityMetrics").begin_array();
    metric(w, kNumberOfMs1Spectra, &kUnitCount, [&] { w.value(std::uint64_t(m.ms1_spectra)); });
    metric(w, kNumberOfMs2Spectra, &kUnitCount, [&] { w.value(std::uint64_t(m.ms2_spectra)); });
    metric(w, kAreaUnderTic, nullptr, [&] { w.value(m.tic_area); });
    metric(w, kAreaUnderTicMs1, nullptr, [&] { w.value(m.tic_area_ms1); });
    metric(w, kAreaUnderTicMs2, nullptr, [&] { w.value(m.tic_area_ms2); });
    if (m.ms1_tic_quartile_ratios)
        metric(w, kMs1TicQuantileRatios, &kUnitFraction, [&] { numbers(w, *m.ms1_tic_quartile_ratios); },
               "log10 of Q2/Q1, Q3/Q2 and max/Q3 of the MS1 total ion currents");
    if (m.tic_quartile_rt_fractions)
        metric(w, kTicQuantileRtFraction, &kUnitFraction, [&] { numbers(w, *m.tic_quartile_rt_fractions); });
    if (m.ms1_spectra > 0) {
        metric(w, kMs1SignalJumps, &kUnitCount, [&] { w.value(std::uint64_t(m.ms1_jumps)); });
        metric(w, kMs1SignalFalls, &kUnitCount, [&] { w.value(std::uint64_t(m.ms1_falls)); });
    }
    if (m.rt_start_s && m.rt_end_s)
        metric(w, kRtAcquisitionRange, &kUnitSecond, [&] { numbers(w, std::array{*m.rt_start_s, *m.rt_end_s}); });
    if (m.ms1_median_cycle_s) metric(w, kMs1MedianCycleTime, &kUnitSecond, [&] { w.value(*m.ms1_median_cycle_s); });
    if (m.lock_ppm_median && q.lock)
        metric(w, kObservedMassAccuracy, &kUnitPpm, [&] { w.value(*m.lock_ppm_median); },
               fmt::format("median over the lock-mass scans of the error of the lock-mass peak against m/z {}",
                           text::plain(q.lock->reference_mz)));
    w.end_array();
    w.end_object();
}

}  // namespace

std::vector<std::string> run_labels(std::span<const RunQc> runs) {
    std::vector<std::string> out;
    std::set<std::string> used;
    for (const RunQc& q : runs) {
        std::string label = q.name;
        for (int k = 2; used.contains(label); ++k) label = fmt::format("{} ({})", q.name, k);
        used.insert(label);
        out.push_back(std::move(label));
    }
    return out;
}

std::string mzqc_json(std::span<const RunQc> runs, std::string_view creation_date) {
    const std::vector<std::string> labels = run_labels(runs);
    JsonWriter w;
    w.begin_object().key("mzQC").begin_object();
    w.key("version").value("1.0.0");
    w.key("creationDate").value(creation_date);
    w.key("description").value("Quality-control metrics of MassLynx .raw runs, written by kestrune qc");
    w.key("runQualities").begin_array();
    for (std::size_t i = 0; i < runs.size(); ++i) run_quality(w, runs[i], labels[i]);
    w.end_array();
    w.key("controlledVocabularies").begin_array();
    w.begin_object();
    w.key("name").value("Proteomics Standards Initiative Mass Spectrometry Ontology");
    w.key("uri").value(fmt::format("https://github.com/HUPO-PSI/psi-ms-CV/releases/download/v{}/psi-ms.obo",
                                   qc_term::kPsiMsVersion));
    w.key("version").value(qc_term::kPsiMsVersion);
    w.end_object();
    w.begin_object();
    w.key("name").value("Unit Ontology");
    w.key("uri").value("https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo");
    w.end_object();
    w.end_array();
    w.end_object().end_object();
    return w.finish();
}

}  // namespace kestrune::cli
