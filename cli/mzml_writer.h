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

#include "error.h"
#include "psi_terms.h"
#include "raw/extern_inf.h"
#include "sha1.h"

namespace kestrune::cli {

// Where the document's bytes go. A sink that fails remembers its error and
// reports it when the file is completed; the writer does not stop.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(std::string_view bytes) = 0;
};

class StringSink final : public ByteSink {
public:
    void write(std::string_view bytes) override { text.append(bytes); }
    std::string text;
};

struct UserParam {
    std::string name;
    std::string value;
};

// Run-wide part of the document.
struct RunDescription {
    std::string run_id;           // an XML NCName
    std::string source_name;      // the run directory's name
    std::string source_location;  // file URI of the directory holding it
    std::vector<term::Term> file_content;
    std::vector<UserParam> instrument_params;
    std::optional<std::string> start_time_stamp;  // xs:dateTime
    std::optional<std::string> sample_name;
    std::string software_version;
    bool lock_mass_corrected = false;
};

struct SpectrumEntry {
    std::string_view id;
    std::uint8_t ms_level = 1;
    std::optional<raw::Polarity> polarity;
    float rt_min = 0;
    float window_low = 0;
    float window_high = 0;
    std::optional<double> collision_energy;
    std::optional<double> set_mass;  // isolation target of an MS/MS function
    std::span<const double> mz;
    std::span<const float> intensity;
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

// The text with &, <, >, " and ' escaped, tab, LF and CR as character
// references, and other C0 controls (not allowed in XML) as U+FFFD.
std::string xml_escape(std::string_view text);

class MzmlWriter {
public:
    MzmlWriter(ByteSink& sink, bool compress, int zlib_level = 6);
    ~MzmlWriter();
    MzmlWriter(const MzmlWriter&) = delete;
    MzmlWriter& operator=(const MzmlWriter&) = delete;

    // Everything up to the opening of the spectrum list (or the chromatogram
    // list when there are no spectra). The counts must be those written.
    void begin(const RunDescription& run, std::size_t n_spectra, std::size_t n_chromatograms);
    void spectrum(const SpectrumEntry& s);
    void chromatogram(const ChromatogramEntry& c);
    // Closes the lists, writes the index, its offset and the checksum.
    // Fails when the counts given to begin were not met.
    Result<void> finish();

    std::uint64_t bytes_written() const noexcept { return offset_; }
    const std::vector<std::pair<std::string, std::uint64_t>>& spectrum_offsets() const noexcept {
        return spectrum_offsets_;
    }

private:
    void emit(std::string_view text);
    void emit_buffer();
    void close_spectrum_list();
    void binary_array(std::span<const std::uint8_t> raw, std::size_t length, std::size_t default_length,
                      const term::Term& precision, const term::Term& type,
                      std::optional<std::string_view> type_value, std::optional<term::Term> unit);
    void encode(std::span<const std::uint8_t> raw);

    ByteSink& sink_;
    bool compress_;
    int zlib_level_;
    Sha1 sha1_;
    std::uint64_t offset_ = 0;
    std::string buf_;
    std::string encoded_;
    std::vector<std::uint8_t> packed_;
    std::size_t n_spectra_ = 0;
    std::size_t n_chromatograms_ = 0;
    std::vector<std::pair<std::string, std::uint64_t>> spectrum_offsets_;
    std::vector<std::pair<std::string, std::uint64_t>> chromatogram_offsets_;
    bool spectrum_list_open_ = false;
    bool chromatogram_list_open_ = false;
    bool zlib_failed_ = false;
    // One deflate stream reset for every array: setting one up allocates
    // and clears a few hundred kilobytes, too much to do per array.
    void* zstream_ = nullptr;
};

}  // namespace kestrune::cli
