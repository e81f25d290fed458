/// @file
/// The whole public API of the kestrune library: include this one header.
///
/// kestrune reads the run directories of Waters MassLynx mass spectrometers
/// (".raw" folders) without changing them: open a Run, list its functions,
/// decode scans (one-dimensional and ion-mobility), and read the run header,
/// instrument settings, per-scan statistics and chromatogram channels; a
/// Centroider turns profile spectra into centroids. Every fallible call
/// returns a Result holding its value or an Error.
#pragma once

#include "kestrune/centroid.h"
#include "kestrune/config.h"
#include "kestrune/error.h"
#include "kestrune/expected.h"
#include "kestrune/run.h"
#include "kestrune/types.h"
