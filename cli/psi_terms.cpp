#include "psi_terms.h"

#include <array>

namespace kestrune::cli::term {

std::span<const Term> all_terms() noexcept {
    static constexpr std::array kAll{
        kMs1Spectrum,       kMsnSpectrum,        kTicChromatogram,     kPressureChromatogram,
        kFlowRateChromatogram, kWatersNativeId,  kWatersRawFormat,     kWatersInstrumentModel,
        kCustomSoftware,    kConversionToMzml,   kMzCalibration,       kMsLevel,
        kCentroidSpectrum,  kPositiveScan,       kNegativeScan,        kTotalIonCurrent,
        kBasePeakMz,        kBasePeakIntensity,  kLowestObservedMz,    kHighestObservedMz,
        kNoCombination,     kScanStartTime,      kScanWindowLower,     kScanWindowUpper,
        kCollisionEnergy,   kBeamTypeCid,        kIsolationTarget,     kSelectedIonMz,
        kMzArray,           kIntensityArray,     kTimeArray,           kRawIonMobilityArray,
        kPressureArray,     kFlowRateArray,      kTemperatureArray,    kNonStandardArray,
        kFloat64,           kFloat32,            kZlibCompression,     kNoCompression,
        kUnitMz,            kUnitDetectorCounts, kUnitMinute,          kUnitMillisecond,
        kUnitElectronvolt,
    };
    return kAll;
}

}  // namespace kestrune::cli::term
