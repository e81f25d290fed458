#include "mzml/psi_terms.h"

#include <array>

namespace kestrune::term {

std::span<const Term> all_terms() noexcept {
    static constexpr std::array kAll{
        kMs1Spectrum, kMsnSpectrum, kTicChromatogram, kPressureChromatogram,
        kFlowRateChromatogram, kTemperatureChromatogram, kEmrChromatogram, kSha1,
        kMassLynx, kInstrumentSerialNumber, kWatersNativeId, kWatersRawFormat,
        kWatersInstrumentModel, kCustomSoftware, kConversionToMzml, kMzCalibration, kPeakPicking,
        kElectrospray, kMaldi, kQuadrupole, kTimeOfFlight,
        kMagneticSector, kMicrochannelPlate, kElectronMultiplier, kMagneticSectorInstrument,
        kQuadrupoleInstrument, kTofInstrument, kTripleQuadrupoleInstrument, kQtofInstrument,
        kQimsTofInstrument, kMsLevel, kCentroidSpectrum, kProfileSpectrum,
        kCalibrationSpectrum, kDiaFullRange, kDiaFullRangeIms, kPositiveScan,
        kNegativeScan, kTotalIonCurrent, kBasePeakMz, kBasePeakIntensity,
        kLowestObservedMz, kHighestObservedMz, kNoCombination, kScanStartTime,
        kScanWindowLower, kScanWindowUpper, kCollisionEnergy, kBeamTypeCid,
        kIsolationTarget, kIsolationLowerOffset, kIsolationUpperOffset, kDriftTime,
        kSelectedIonMz, kMzArray, kIntensityArray, kTimeArray,
        kRawIonMobilityArray, kPressureArray, kFlowRateArray, kTemperatureArray,
        kNonStandardArray, kFloat64, kFloat32, kZlibCompression,
        kNoCompression, kUnitMz, kUnitDetectorCounts, kUnitMinute,
        kUnitMillisecond, kUnitElectronvolt, kUnitPascal, kUnitKelvin,
        kUnitMicrolitresPerMinute, kNumpressLinear, kNumpressPic, kNumpressSlof,
        kNumpressLinearZlib, kNumpressPicZlib, kNumpressSlofZlib, kNumberOfMs1Spectra,
        kNumberOfMs2Spectra, kAreaUnderTic, kAreaUnderTicMs1, kAreaUnderTicMs2,
        kMs1TicQuantileRatios, kTicQuantileRtFraction, kMs1SignalJumps, kMs1SignalFalls,
        kRtAcquisitionRange, kMs1MedianCycleTime, kObservedMassAccuracy, kUnitCount,
        kUnitFraction, kUnitSecond, kUnitPpm,
    };
    return kAll;
}

}  // namespace kestrune::term
