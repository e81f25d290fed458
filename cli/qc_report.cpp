#include "qc_report.h"

namespace kestrune::cli {

std::string qc_html(std::span<const RunQc> runs) {
    std::string out = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>kestrune QC</title></head><body>";
    out += std::to_string(runs.size());
    out += "</body></html>\n";
    return out;
}

}  // namespace kestrune::cli
