// The HTML quality report: one self-contained page (inline SVG, inline
// style, no script that runs, nothing fetched) with plots and metrics of
// one or more runs.
#pragma once

#include <span>
#include <string>

#include "qc_metrics.h"

namespace kestrune::cli {

std::string qc_html(std::span<const RunQc> runs);

}  // namespace kestrune::cli
