#!/usr/bin/env cwl-runner
# `kestrune export` as a CWL CommandLineTool, for Galaxy, Toil, Arvados and
# other CWL runners:
#   cwltool --no-container workflow/cwl/kestrune-export.cwl --run examples/sample.raw
# writes sample.raw.mzML (and sample.raw.mzML.log, the tool's messages) to the
# current directory. `kestrune` must be on PATH.
cwlVersion: v1.2
class: CommandLineTool
label: "kestrune export: one Waters MassLynx .raw run directory to indexed mzML"
doc: |
  Reads the run directory without changing it and writes an indexed mzML
  1.1.0 file named after it (NAME.raw gives NAME.raw.mzML, so that runs
  scattered over one workflow step keep distinct names). The same options
  give the same bytes as `kestrune export RUN -o NAME.raw.mzML` run by hand
  on the same run directory. Options left out keep the tool's defaults.

$namespaces:
  edam: http://edamontology.org/

baseCommand: [kestrune, export]
arguments:
  - --no-progress
  - prefix: --output
    valueFrom: $(inputs.run.basename).mzML

requirements:
  ResourceRequirement:
    coresMin: $(inputs.threads)
hints:
  SoftwareRequirement:
    packages:
      kestrune: {}

inputs:
  run:
    type: Directory
    doc: The run directory (NAME.raw).
    inputBinding:
      position: 1
  threads:
    type: int
    default: 1
    doc: Threads of the export; the same bytes for any number.
    inputBinding:
      prefix: --threads
  no_compress:
    type: boolean?
    doc: Store binary arrays without zlib compression.
    inputBinding:
      prefix: --no-compress
  compression_level:
    type: int?
    doc: Deflate level of the binary arrays, 0 (stored) to 12 (smallest); the tool's default is 1.
    inputBinding:
      prefix: --compression-level
  numpress:
    type:
      - "null"
      - type: enum
        symbols: [linear, pic, slof]
    doc: Lossy MS-Numpress before zlib.
    inputBinding:
      prefix: --numpress
  numpress_ppm:
    type: double?
    doc: Largest error of a numpress m/z value, in ppm (with numpress).
    inputBinding:
      prefix: --numpress-ppm
  functions:
    type: string?
    doc: Export only these functions, e.g. "1,3".
    inputBinding:
      prefix: --functions
  rt_range:
    type: string?
    doc: Export only scans within MIN:MAX minutes (either side may be empty).
    inputBinding:
      prefix: --rt-range
  ms_level:
    type: int?
    doc: Export only functions of this MS level.
    inputBinding:
      prefix: --ms-level
  representation:
    type:
      - "null"
      - type: enum
        symbols: [auto, centroid, profile]
    doc: Spectrum representation written; the tool's default is auto.
    inputBinding:
      prefix: --representation
  ims_layout:
    type:
      - "null"
      - type: enum
        symbols: [combined, per-bin, summed]
    doc: Ion-mobility frames as combined, per-bin or summed spectra; the tool's default is combined.
    inputBinding:
      prefix: --ims-layout
  lockmass:
    type: double?
    doc: Reference m/z of the lock-mass compound; every scan is corrected by it.
    inputBinding:
      prefix: --lockmass
  lockmass_tolerance:
    type: double?
    doc: Search window around the lock mass, in Da (with lockmass).
    inputBinding:
      prefix: --lockmass-tolerance
  lockmass_optional:
    type: boolean?
    doc: Export uncorrected, with a warning, when the lock-mass correction cannot be made.
    inputBinding:
      prefix: --lockmass-optional
  keep_lockmass:
    type: boolean?
    doc: Also export the lock-mass functions.
    inputBinding:
      prefix: --keep-lockmass

outputs:
  mzml:
    type: File
    format: edam:format_3244
    doc: The indexed mzML file.
    outputBinding:
      glob: $(inputs.run.basename).mzML
  log:
    type: stderr
    doc: The tool's messages (warnings and the summary line).
stderr: $(inputs.run.basename).mzML.log
