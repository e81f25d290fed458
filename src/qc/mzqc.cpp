#include "qc/mzqc.h"

#include <set>

#include <fmt/format.h>

#include "json.h"
#include "mzml/psi_terms.h"
#include "qc/metric_table.h"
#include "text.h"

namespace kestrune::qc {

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

void run_quality(JsonWriter& w, const RunQc& q, const std::string& label) {
    w.begin_object();
    w.key("metadata").begin_object();
    w.key("label").value(label);
    w.key("inputFiles").begin_array().begin_object();
    w.key("name").value(label);
    {
        std::error_code ec;
        std::filesystem::path abs = std::filesystem::absolute(q.dir, ec).lexically_normal();
        if (!abs.has_filename()) abs = abs.parent_path();
        w.key("location").value(text::file_uri(abs));
    }
    w.key("fileFormat").begin_object();
    term_members(w, term::kWatersRawFormat);
    w.end_object();
    w.end_object().end_array();
    w.key("analysisSoftware").begin_array().begin_object();
    term_members(w, term::kCustomSoftware);
    w.key("value").value("kestrune");
    w.key("version").value(KESTRUNE_VERSION_STRING);
    w.end_object().end_array();
    w.end_object();

    w.key("qualityMetrics").begin_array();
    for (const Metric& m : metric_table()) {
        if (!m.mzqc || !m.mzqc->present(q)) continue;
        const QualityMetric& qm = *m.mzqc;
        w.begin_object();
        term_members(w, *qm.term);
        if (const std::string d = qm.description(q); !d.empty()) w.key("description").value(d);
        w.key("value");
        qm.value(w, q);
        if (qm.unit) unit(w, *qm.unit);
        w.end_object();
    }
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

}  // namespace kestrune::qc

namespace kestrune {

std::string mzqc_json(std::span<const RunQc> runs, std::string_view creation_date) {
    using namespace qc;
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
                                   term::kPsiMsVersion));
    w.key("version").value(term::kPsiMsVersion);
    w.end_object();
    w.begin_object();
    w.key("name").value("Unit Ontology");
    w.key("uri").value(term::kUoUri);
    w.end_object();
    w.end_array();
    w.end_object().end_object();
    return w.finish();
}

}  // namespace kestrune
