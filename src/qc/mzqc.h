// PSI mzQC 1.0.0 (JSON) of the quality-control metrics of one or more runs
// (kestrune::mzqc_json), and the run labels it and the report share.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "kestrune/qc.h"

namespace kestrune::qc {

// The labels of the runs: their names, made unique with a " (2)", " (3)"
// ... suffix.
std::vector<std::string> run_labels(std::span<const RunQc> runs);

}  // namespace kestrune::qc
