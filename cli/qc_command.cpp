#include "qc_command.h"

#include "progress.h"

namespace kestrune::cli {

Result<void> run_qc(const QcCommand& c) {
    ProgressBars bars("qc", c.progress);
    return qc_report(c.runs, c.report, c.mzqc, c.options, bars.callback());
}

}  // namespace kestrune::cli
