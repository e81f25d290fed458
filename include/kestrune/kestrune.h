/// @file
/// The whole public API of the kestrune library: include this one header.
///
/// kestrune reads the run directories of Waters MassLynx mass spectrometers
/// (".raw" folders) without changing them: open a Run, list its functions,
/// decode scans (one-dimensional and ion-mobility), and read the run header,
/// instrument settings, per-scan statistics and chromatogram channels. Every
/// fallible call returns a Result holding its value or an Error. Export a
/// run as indexed mzML (export.h), describe it (info.h), measure its quality
/// and write reports (qc.h); the library's diagnostics reach a Sink
/// (log.h), and text.h gives its number and text forms.
#pragma once

#include "kestrune/config.h"
#include "kestrune/error.h"
#include "kestrune/expected.h"
#include "kestrune/export.h"
#include "kestrune/info.h"
#include "kestrune/log.h"
#include "kestrune/qc.h"
#include "kestrune/run.h"
#include "kestrune/text.h"
#include "kestrune/types.h"
