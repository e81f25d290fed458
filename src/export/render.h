// The spectra of one planned scan as mzML text, away from the writer (on a
// worker thread): decoded, lock-mass corrected, laid out (ion-mobility
// frames in the plan's layout) and encoded.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "export/plan.h"
#include "kestrune/centroid.h"
#include "kestrune/types.h"
#include "mzml/array_encoder.h"
#include "mzml/writer.h"
#include "reader/reader.h"

namespace kestrune::exporting {

// What the writer needs of a rendered scan besides its text.
struct RenderedScan {
    float rt_min = 0;
    double tic = 0;  // the intensity sum of the frame in record order, the same in every layout
};

// One per thread.
class SpectrumRenderer {
public:
    SpectrumRenderer(const reader::Reader& r, const ExportPlan& plan, const mzml::ArrayEncoding& encoding);

    // Appends the spectra of `sel` to `out`, the first of them numbered
    // `first_index` in the spectrum list.
    // In the per-bin layout only the frame's spectra [bin_first, bin_last).
    Result<RenderedScan> render(const PlannedScan& sel, std::size_t first_index, mzml::RenderedSpectra& out,
                                std::uint32_t bin_first = 0,
                                std::uint32_t bin_last = std::numeric_limits<std::uint32_t>::max());

private:
    void emit(const mzml::SpectrumEntry& e) { mzml::render_spectrum(e, index_++, encoder_, *out_); }
    mzml::SpectrumEntry entry_of(const PlannedFunction& f, const Scan& scan) const;
    void write_combined(const PlannedFunction& f, const PlannedScan& sel, mzml::SpectrumEntry& e,
                        std::span<const double> mz);
    void write_per_bin(const PlannedFunction& f, const PlannedScan& sel, mzml::SpectrumEntry& e, std::uint32_t bin_first,
                       std::uint32_t bin_last);
    void write_summed(const PlannedFunction& f, const PlannedScan& sel, mzml::SpectrumEntry& e);
    // The centroids of one spectrum (or drift bin) in picked_mz_ / picked_in_.
    void pick(const PlannedFunction& f, std::span<const double> mz, std::span<const float> intensity);

    const reader::Reader& r_;
    const ExportPlan& plan_;
    mzml::ArrayEncoder encoder_;
    mzml::RenderedSpectra* out_ = nullptr;
    std::size_t index_ = 0;
    std::string id_;
    Scan scan_;
    fs::Buffer buffer_;
    std::vector<double> corrected_, mz_, sorted_mz_, sorted_drift_, summed_;
    std::vector<float> sorted_in_;
    // Centroiding: of ion counts, and (Encoding D's fractional intensities)
    // with the ion's intensity taken from each spectrum.
    Centroider counts_, scaled_;
    std::vector<double> picked_mz_, frame_mz_, frame_drift_;
    std::vector<float> picked_in_, frame_in_, summed_in_;
};

}  // namespace kestrune::exporting
