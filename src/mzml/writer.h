// Streaming writer of indexed mzML 1.1.0: spectra and chromatograms are
// written one at a time; the writer keeps only the byte offset of each for
// the index and a running SHA-1 of everything written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/sha1.h"
#include "error.h"
#include "kestrune/types.h"
#include "mzml/array_encoder.h"
#include "mzml/psi_terms.h"
#include "output/sink.h"

namespace kestrune::mzml {

using output::ByteSink;

struct UserParam {
    UserParam(std::string name_, std::string value_, std::string_view type_ = "xsd:string",
              std::optional<term::Term> unit_ = std::nullopt)
        : name(std::move(name_)), value(std::move(value_)), type(type_), unit(unit_) {}
    std::string name;
    std::string value;
    std::string_view type = "xsd:string";
    std::optional<term::Term> unit;
};

// The instrument as the header describes it.
struct InstrumentDescription {
    term::Term model = term::kWatersInstrumentModel;
    std::optional<std::string> model_value;  // the header's text when no model term matched
    std::optional<std::string> serial_number;
    std::vector<UserParam> params;
    term::Term source = term::kElectrospray;
    std::vector<term::Term> analyzers;
    term::Term detector = term::kMicrochannelPlate;
};

// Run-wide part of the document.
struct RunDescription {
    std::string run_id;           // an XML NCName
    std::string source_name;      // the run directory's name
    std::string source_location;  // file URI of the directory holding it
    std::vector<term::Term> file_content;
    std::optional<std::string> source_sha1;  // of the file named by source_sha1_of
    std::string source_sha1_of;
    InstrumentDescription instrument;
    std::string acquisition_software_version;
    std::optional<std::string> start_time_stamp;  // xs:dateTime
    std::optional<std::string> sample_name;
    std::string software_version;
    bool lock_mass_corrected = false;
    std::vector<UserParam> lock_mass_params;  // what the m/z calibration did
    std::vector<UserParam> source_params;     // of the source file: what it was read as
    std::vector<UserParam> processing_params; // of the conversion: the options that shaped the file
    bool peak_picked = false;                 // profile spectra written as centroids
    std::vector<UserParam> peak_picking_params;
};

struct IsolationWindow {
    double target = 0;
    double lower_offset = 0;
    double upper_offset = 0;
};

struct SpectrumEntry {
    std::string_view id;
    std::uint8_t ms_level = 1;
    bool profile = false;
    bool calibration = false;  // a lock-mass (calibration) spectrum
    std::optional<term::Term> acquisition_method;
    std::optional<Polarity> polarity;
    float rt_min = 0;
    float window_low = 0;
    float window_high = 0;
    std::optional<double> collision_energy;
    // MS level 2: the precursor's isolation window and, with a set mass, the
    // selected ion.
    std::optional<IsolationWindow> isolation;
    std::optional<double> selected_mz;
    std::optional<double> drift_ms_of_scan;  // one drift bin of an ion-mobility frame
    std::span<const double> mz;
    // Exactly one intensity array: 32-bit as decoded, or 64-bit sums.
    std::span<const float> intensity;
    std::span<const double> intensity64;
    bool intensity_is_64 = false;
    // Ion-mobility scans: one drift time (ms) per ion, written as a third array.
    bool ims = false;
    std::span<const double> drift_ms;
};

struct ChromatogramEntry {
    std::string_view id;
    std::optional<term::Term> type;
    std::span<const float> time_min;
    // Exactly one of the two value arrays is used: 64-bit values (summed
    // currents) or 32-bit values (instrument channels, copied bit for bit).
    std::span<const double> values64;
    std::span<const float> values32;
    bool values_are_64 = true;
    term::Term value_array = term::kIntensityArray;
    std::optional<std::string_view> value_array_text;  // value of a non-standard array
    std::optional<term::Term> value_unit;
    std::vector<UserParam> user_params;
};

// Summary values of one spectrum, as written.
struct SpectrumStats {
    double tic = 0;
    std::optional<std::size_t> base_peak;  // index of the first most intense point
    double lowest_mz = 0;
    double highest_mz = 0;
};
SpectrumStats spectrum_stats(std::span<const double> mz, std::span<const float> intensity) noexcept;
SpectrumStats spectrum_stats(std::span<const double> mz, std::span<const double> intensity) noexcept;

// The text with &, <, >, " and ' escaped, tab, LF and CR as character
// references, and other C0 controls (not allowed in XML) as U+FFFD.
std::string xml_escape(std::string_view text);

// Spectra rendered to text away from the writer (on another thread), for it
// to append in order.
struct RenderedSpectra {
    std::string text;
    // Each spectrum's id and the offset of its <spectrum> tag within text.
    std::vector<std::pair<std::string, std::size_t>> spectra;
    bool failed = false;  // an array could not be encoded
    void clear() noexcept;
};

// Appends the spectrum element, number `index` of the list, to `rendered`.
void render_spectrum(const SpectrumEntry& s, std::size_t index, ArrayEncoder& encoder, RenderedSpectra& rendered);

class MzmlWriter {
public:
    MzmlWriter(ByteSink& sink, const ArrayEncoding& encoding);
    MzmlWriter(const MzmlWriter&) = delete;
    MzmlWriter& operator=(const MzmlWriter&) = delete;

    // Everything up to the opening of the spectrum list (or the chromatogram
    // list when there are no spectra). The counts must be those written.
    void begin(const RunDescription& run, std::size_t n_spectra, std::size_t n_chromatograms);
    void spectrum(const SpectrumEntry& s);
    // Spectra rendered with indexes following those already written.
    void append(const RenderedSpectra& rendered);
    void chromatogram(const ChromatogramEntry& c);
    // Closes the lists, writes the index, its offset and the checksum.
    // Fails when the counts given to begin were not met or an array could
    // not be encoded.
    Result<void> finish();

    std::uint64_t bytes_written() const noexcept { return offset_; }

private:
    void emit(std::string_view text);
    void emit_buffer();
    void close_spectrum_list();

    ByteSink& sink_;
    ArrayEncoder encoder_;
    codec::Sha1 sha1_;
    std::uint64_t offset_ = 0;
    std::string buf_;
    RenderedSpectra rendered_;
    std::size_t n_spectra_ = 0;
    std::size_t n_chromatograms_ = 0;
    // The index: each element's id and the offset of its tag. The ids lie
    // back to back in one string (a run may have millions of spectra).
    struct OffsetIndex {
        std::string ids;
        std::vector<std::size_t> id_ends;
        std::vector<std::uint64_t> offsets;
        void add(std::string_view id, std::uint64_t offset);
        std::size_t size() const noexcept { return offsets.size(); }
        bool empty() const noexcept { return offsets.empty(); }
        std::string_view id(std::size_t i) const noexcept;
    };
    void write_index(std::string_view name, const OffsetIndex& index);
    OffsetIndex spectrum_offsets_;
    OffsetIndex chromatogram_offsets_;
    bool spectrum_list_open_ = false;
    bool chromatogram_list_open_ = false;
    bool encode_failed_ = false;
};

}  // namespace kestrune::mzml
