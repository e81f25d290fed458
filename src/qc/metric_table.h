// The run metrics, listed once: how the report's tables, the report's JSON
// data and the mzQC file each show every metric, in the order all three
// write them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json.h"
#include "kestrune/qc.h"
#include "mzml/psi_terms.h"

namespace kestrune::qc {

// One column of the report's metric tables.
struct Column {
    std::string_view title;
    std::string_view unit;
    std::optional<double> (*value)(const QcMetrics&);
    bool pressure_unit = false;  // the unit is that of the runs' pump pressure channel
};

// One metric of an mzQC runQuality.
struct QualityMetric {
    const term::Term* term;
    const term::Term* unit;  // nullptr: none
    // Whether the run has the metric, its value after the "value" key, and
    // the description (empty: none).
    bool (*present)(const RunQc&);
    void (*value)(JsonWriter&, const RunQc&);
    std::string (*description)(const RunQc&);
};

struct Metric {
    std::string_view key;                       // member of the report's JSON data
    void (*json)(JsonWriter&, const QcMetrics&);  // its value there
    std::span<const Column> columns;            // in the report's tables; may be none
    std::optional<QualityMetric> mzqc;          // in the mzQC file, when it has a term there
};

std::span<const Metric> metric_table() noexcept;

}  // namespace kestrune::qc
