// The controlled-vocabulary terms the mzML and mzQC writers use: accession
// and exact name from the PSI-MS ontology (data-version 4.1.257, which holds
// the mzQC quality terms) and the Unit Ontology.
#pragma once

#include <span>
#include <string_view>

namespace kestrune::term {

struct Term {
    std::string_view accession;
    std::string_view name;
};

// Version of the PSI-MS ontology the names were taken from.
inline constexpr std::string_view kPsiMsVersion = "4.1.257";
inline constexpr std::string_view kUoVersion = "09:04:2014";
inline constexpr std::string_view kUoUri =
    "https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo";

// File content, source file and software.
inline constexpr Term kMs1Spectrum{"MS:1000579", "MS1 spectrum"};
inline constexpr Term kMsnSpectrum{"MS:1000580", "MSn spectrum"};
inline constexpr Term kTicChromatogram{"MS:1000235", "total ion current chromatogram"};
inline constexpr Term kPressureChromatogram{"MS:1003019", "pressure chromatogram"};
inline constexpr Term kFlowRateChromatogram{"MS:1003020", "flow rate chromatogram"};
inline constexpr Term kTemperatureChromatogram{"MS:1002715", "temperature chromatogram"};
inline constexpr Term kEmrChromatogram{"MS:1000811", "electromagnetic radiation chromatogram"};
inline constexpr Term kSha1{"MS:1000569", "SHA-1"};
inline constexpr Term kMassLynx{"MS:1000534", "MassLynx"};
inline constexpr Term kInstrumentSerialNumber{"MS:1000529", "instrument serial number"};
inline constexpr Term kWatersNativeId{"MS:1000769", "Waters nativeID format"};
inline constexpr Term kWatersRawFormat{"MS:1000526", "Waters raw format"};
inline constexpr Term kWatersInstrumentModel{"MS:1000126", "Waters instrument model"};
inline constexpr Term kCustomSoftware{"MS:1000799", "custom unreleased software tool"};
inline constexpr Term kConversionToMzml{"MS:1000544", "Conversion to mzML"};
inline constexpr Term kPeakPicking{"MS:1000035", "peak picking"};
inline constexpr Term kMzCalibration{"MS:1001485", "m/z calibration"};

// Instrument components.
inline constexpr Term kElectrospray{"MS:1000073", "electrospray ionization"};
inline constexpr Term kMaldi{"MS:1000075", "matrix-assisted laser desorption ionization"};
inline constexpr Term kQuadrupole{"MS:1000081", "quadrupole"};
inline constexpr Term kTimeOfFlight{"MS:1000084", "time-of-flight"};
inline constexpr Term kMagneticSector{"MS:1000080", "magnetic sector"};
inline constexpr Term kMicrochannelPlate{"MS:1000114", "microchannel plate detector"};
inline constexpr Term kElectronMultiplier{"MS:1000253", "electron multiplier"};
// Instrument classes of the model terms (not written; they decide the analyzers).
inline constexpr Term kMagneticSectorInstrument{"MS:1003949", "magnetic sector instrument"};
inline constexpr Term kQuadrupoleInstrument{"MS:1003950", "quadrupole instrument"};
inline constexpr Term kTofInstrument{"MS:1003951", "time-of-flight instrument"};
inline constexpr Term kTripleQuadrupoleInstrument{"MS:1003762", "triple quadrupole instrument"};
inline constexpr Term kQtofInstrument{"MS:1003763", "quadrupole time-of-flight instrument"};
inline constexpr Term kQimsTofInstrument{"MS:1003767", "quadrupole ion mobility time-of-flight instrument"};

// Spectrum description.
inline constexpr Term kMsLevel{"MS:1000511", "ms level"};
inline constexpr Term kCentroidSpectrum{"MS:1000127", "centroid spectrum"};
inline constexpr Term kProfileSpectrum{"MS:1000128", "profile spectrum"};
inline constexpr Term kCalibrationSpectrum{"MS:1000928", "calibration spectrum"};
inline constexpr Term kDiaFullRange{"MS:1003227", "data independent acquisition from dissociation of full mass range"};
inline constexpr Term kDiaFullRangeIms{"MS:1003226",
                                       "data independent acquisition from dissociation of full mass range after ion "
                                       "mobility separation"};
inline constexpr Term kPositiveScan{"MS:1000130", "positive scan"};
inline constexpr Term kNegativeScan{"MS:1000129", "negative scan"};
inline constexpr Term kTotalIonCurrent{"MS:1000285", "total ion current"};
inline constexpr Term kBasePeakMz{"MS:1000504", "base peak m/z"};
inline constexpr Term kBasePeakIntensity{"MS:1000505", "base peak intensity"};
inline constexpr Term kLowestObservedMz{"MS:1000528", "lowest observed m/z"};
inline constexpr Term kHighestObservedMz{"MS:1000527", "highest observed m/z"};
inline constexpr Term kNoCombination{"MS:1000795", "no combination"};
inline constexpr Term kScanStartTime{"MS:1000016", "scan start time"};
inline constexpr Term kScanWindowLower{"MS:1000501", "scan window lower limit"};
inline constexpr Term kScanWindowUpper{"MS:1000500", "scan window upper limit"};
inline constexpr Term kCollisionEnergy{"MS:1000045", "collision energy"};
inline constexpr Term kBeamTypeCid{"MS:1000422", "beam-type collision-induced dissociation"};
inline constexpr Term kIsolationTarget{"MS:1000827", "isolation window target m/z"};
inline constexpr Term kIsolationLowerOffset{"MS:1000828", "isolation window lower offset"};
inline constexpr Term kIsolationUpperOffset{"MS:1000829", "isolation window upper offset"};
inline constexpr Term kDriftTime{"MS:1002476", "ion mobility drift time"};
inline constexpr Term kSelectedIonMz{"MS:1000744", "selected ion m/z"};

// Binary data arrays.
inline constexpr Term kMzArray{"MS:1000514", "m/z array"};
inline constexpr Term kIntensityArray{"MS:1000515", "intensity array"};
inline constexpr Term kTimeArray{"MS:1000595", "time array"};
inline constexpr Term kRawIonMobilityArray{"MS:1003007", "raw ion mobility array"};
inline constexpr Term kPressureArray{"MS:1000821", "pressure array"};
inline constexpr Term kFlowRateArray{"MS:1000820", "flow rate array"};
inline constexpr Term kTemperatureArray{"MS:1000822", "temperature array"};
inline constexpr Term kNonStandardArray{"MS:1000786", "non-standard data array"};
inline constexpr Term kFloat64{"MS:1000523", "64-bit float"};
inline constexpr Term kFloat32{"MS:1000521", "32-bit float"};
inline constexpr Term kZlibCompression{"MS:1000574", "zlib compression"};
inline constexpr Term kNoCompression{"MS:1000576", "no compression"};
inline constexpr Term kNumpressLinear{"MS:1002312", "MS-Numpress linear prediction compression"};
inline constexpr Term kNumpressPic{"MS:1002313", "MS-Numpress positive integer compression"};
inline constexpr Term kNumpressSlof{"MS:1002314", "MS-Numpress short logged float compression"};
inline constexpr Term kNumpressLinearZlib{"MS:1002746",
                                          "MS-Numpress linear prediction compression followed by zlib compression"};
inline constexpr Term kNumpressPicZlib{"MS:1002747",
                                       "MS-Numpress positive integer compression followed by zlib compression"};
inline constexpr Term kNumpressSlofZlib{"MS:1002748",
                                        "MS-Numpress short logged float compression followed by zlib compression"};

// Units (MS:1000040 lives in PSI-MS, the others in the Unit Ontology).
inline constexpr Term kUnitMz{"MS:1000040", "m/z"};
inline constexpr Term kUnitDetectorCounts{"MS:1000131", "number of detector counts"};
inline constexpr Term kUnitMinute{"UO:0000031", "minute"};
inline constexpr Term kUnitMillisecond{"UO:0000028", "millisecond"};
inline constexpr Term kUnitElectronvolt{"UO:0000266", "electronvolt"};
inline constexpr Term kUnitPascal{"UO:0000110", "pascal"};
inline constexpr Term kUnitKelvin{"UO:0000012", "kelvin"};
inline constexpr Term kUnitMicrolitresPerMinute{"UO:0000271", "microliters per minute"};

// Quality-control metrics (mzQC) and their units.
inline constexpr Term kNumberOfMs1Spectra{"MS:4000059", "number of MS1 spectra"};
inline constexpr Term kNumberOfMs2Spectra{"MS:4000060", "number of MS2 spectra"};
inline constexpr Term kAreaUnderTic{"MS:4000155", "area under TIC"};
inline constexpr Term kAreaUnderTicMs1{"MS:4000029", "area under TIC in MS1"};
inline constexpr Term kAreaUnderTicMs2{"MS:4000030", "area under TIC in MS2"};
inline constexpr Term kMs1TicQuantileRatios{"MS:4000187", "MS1 TIC quantile ratios"};
inline constexpr Term kTicQuantileRtFraction{"MS:4000183", "TIC quantile RT fraction"};
inline constexpr Term kMs1SignalJumps{"MS:4000097", "MS1 signal jump (10x) count"};
inline constexpr Term kMs1SignalFalls{"MS:4000098", "MS1 signal fall (10x) count"};
inline constexpr Term kRtAcquisitionRange{"MS:4000070", "retention time acquisition range"};
inline constexpr Term kMs1MedianCycleTime{"MS:4000192", "MS1 median cycle time"};
inline constexpr Term kObservedMassAccuracy{"MS:4000072", "observed mass accuracy"};
inline constexpr Term kUnitCount{"UO:0000189", "count unit"};
inline constexpr Term kUnitFraction{"UO:0000191", "fraction"};
inline constexpr Term kUnitSecond{"UO:0000010", "second"};
inline constexpr Term kUnitPpm{"UO:0000169", "parts per million"};

// Every term above, for checking the table against an ontology file.
std::span<const Term> all_terms() noexcept;

}  // namespace kestrune::term
