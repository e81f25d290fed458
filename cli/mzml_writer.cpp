#include "mzml_writer.h"

#include <cstring>

#include <fmt/format.h>
#include <zlib.h>

#include "base64.h"
#include "text.h"

namespace kestrune::cli {

namespace {

constexpr std::string_view kNamespaces =
    R"(xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance")";

std::string_view cv_ref(const term::Term& t) {
    return t.accession.substr(0, t.accession.find(':'));
}

void indent(std::string& out, int level) { out.append(std::size_t(level) * 2, ' '); }

void cv_param(std::string& out, int level, const term::Term& t, std::string_view value = {},
              std::optional<term::Term> unit = std::nullopt) {
    indent(out, level);
    fmt::format_to(std::back_inserter(out), R"(<cvParam cvRef="{}" accession="{}" name="{}" value="{}")",
                   cv_ref(t), t.accession, xml_escape(t.name), xml_escape(value));
    if (unit)
        fmt::format_to(std::back_inserter(out), R"( unitCvRef="{}" unitAccession="{}" unitName="{}")",
                       cv_ref(*unit), unit->accession, xml_escape(unit->name));
    out.append("/>\n");
}

void user_param(std::string& out, int level, const UserParam& p) {
    indent(out, level);
    fmt::format_to(std::back_inserter(out), R"(<userParam name="{}" value="{}" type="{}")", xml_escape(p.name),
                   xml_escape(p.value), p.type);
    if (p.unit)
        fmt::format_to(std::back_inserter(out), R"( unitCvRef="{}" unitAccession="{}" unitName="{}")",
                       cv_ref(*p.unit), p.unit->accession, xml_escape(p.unit->name));
    out.append("/>\n");
}

void component(std::string& out, std::string_view kind, int order, const term::Term& t) {
    fmt::format_to(std::back_inserter(out), "          <{} order=\"{}\">\n", kind, order);
    cv_param(out, 6, t);
    fmt::format_to(std::back_inserter(out), "          </{}>\n", kind);
}

template <class T>
std::span<const std::uint8_t> as_bytes(std::span<const T> values) {
    return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

}  // namespace

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '&': out.append("&amp;"); break;
            case '<': out.append("&lt;"); break;
            case '>': out.append("&gt;"); break;
            case '"': out.append("&quot;"); break;
            case '\'': out.append("&apos;"); break;
            case '\t': out.append("&#9;"); break;
            case '\n': out.append("&#10;"); break;
            case '\r': out.append("&#13;"); break;
            default:
                if (c < 0x20)
                    out.append("\xEF\xBF\xBD");
                else
                    out.push_back(ch);
        }
    }
    return out;
}

namespace {
template <class T>
SpectrumStats stats_of(std::span<const double> mz, std::span<const T> intensity) noexcept {
    SpectrumStats s;
    const std::size_t n = std::min(mz.size(), intensity.size());
    for (std::size_t i = 0; i < n; ++i) {
        s.tic += static_cast<double>(intensity[i]);
        if (!s.base_peak || intensity[i] > intensity[*s.base_peak]) s.base_peak = i;
        if (i == 0 || mz[i] < s.lowest_mz) s.lowest_mz = mz[i];
        if (i == 0 || mz[i] > s.highest_mz) s.highest_mz = mz[i];
    }
    return s;
}
}  // namespace

SpectrumStats spectrum_stats(std::span<const double> mz, std::span<const float> intensity) noexcept {
    return stats_of(mz, intensity);
}
SpectrumStats spectrum_stats(std::span<const double> mz, std::span<const double> intensity) noexcept {
    return stats_of(mz, intensity);
}

MzmlWriter::MzmlWriter(ByteSink& sink, bool compress, int zlib_level)
    : sink_(sink), compress_(compress), zlib_level_(zlib_level) {}

MzmlWriter::~MzmlWriter() {
    if (zstream_) {
        auto* z = static_cast<z_stream*>(zstream_);
        deflateEnd(z);
        delete z;
    }
}

void MzmlWriter::emit(std::string_view text) {
    sha1_.update(text);
    sink_.write(text);
    offset_ += text.size();
}

void MzmlWriter::emit_buffer() {
    emit(buf_);
    buf_.clear();
}

void MzmlWriter::begin(const RunDescription& run, std::size_t n_spectra, std::size_t n_chromatograms) {
    n_spectra_ = n_spectra;
    n_chromatograms_ = n_chromatograms;
    std::string& o = buf_;
    auto out = std::back_inserter(o);
    o.append("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
    fmt::format_to(out,
                   "<indexedmzML {} xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
                   "http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd\">\n",
                   kNamespaces);
    fmt::format_to(out,
                   "  <mzML {} xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
                   "http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd\" id=\"{}\" version=\"1.1.0\">\n",
                   kNamespaces, xml_escape(run.run_id));
    o.append("    <cvList count=\"2\">\n");
    fmt::format_to(out,
                   "      <cv id=\"MS\" fullName=\"Proteomics Standards Initiative Mass Spectrometry "
                   "Ontology\" version=\"{}\" URI=\"https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/"
                   "master/psi-ms.obo\"/>\n",
                   term::kPsiMsVersion);
    fmt::format_to(out,
                   "      <cv id=\"UO\" fullName=\"Unit Ontology\" version=\"{}\" "
                   "URI=\"https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/"
                   "master/unit.obo\"/>\n",
                   term::kUoVersion);
    o.append("    </cvList>\n    <fileDescription>\n      <fileContent>\n");
    for (const auto& t : run.file_content) cv_param(o, 4, t);
    o.append("      </fileContent>\n      <sourceFileList count=\"1\">\n");
    fmt::format_to(out, "        <sourceFile id=\"RAW1\" name=\"{}\" location=\"{}\">\n",
                   xml_escape(run.source_name), xml_escape(run.source_location));
    cv_param(o, 5, term::kWatersNativeId);
    cv_param(o, 5, term::kWatersRawFormat);
    if (run.source_sha1) {
        cv_param(o, 5, term::kSha1, *run.source_sha1);
        user_param(o, 5, {"SHA-1 of", run.source_sha1_of});
    }
    o.append("        </sourceFile>\n      </sourceFileList>\n    </fileDescription>\n");
    if (run.sample_name) {
        fmt::format_to(out,
                       "    <sampleList count=\"1\">\n      <sample id=\"sample1\" name=\"{}\"/>\n"
                       "    </sampleList>\n",
                       xml_escape(*run.sample_name));
    }
    fmt::format_to(out, "    <softwareList count=\"2\">\n      <software id=\"kestrune\" version=\"{}\">\n",
                   xml_escape(run.software_version));
    cv_param(o, 4, term::kCustomSoftware, "kestrune");
    fmt::format_to(out, "      </software>\n      <software id=\"acquisition\" version=\"{}\">\n",
                   xml_escape(run.acquisition_software_version));
    cv_param(o, 4, term::kMassLynx);
    o.append("      </software>\n    </softwareList>\n");
    const InstrumentDescription& ins = run.instrument;
    o.append("    <instrumentConfigurationList count=\"1\">\n      <instrumentConfiguration id=\"IC1\">\n");
    cv_param(o, 4, ins.model, ins.model_value.value_or(std::string()));
    if (ins.serial_number) cv_param(o, 4, term::kInstrumentSerialNumber, *ins.serial_number);
    for (const auto& p : ins.params) user_param(o, 4, p);
    fmt::format_to(out, "        <componentList count=\"{}\">\n", ins.analyzers.size() + 2);
    int order = 1;
    component(o, "source", order++, ins.source);
    for (const auto& a : ins.analyzers) component(o, "analyzer", order++, a);
    component(o, "detector", order, ins.detector);
    o.append("        </componentList>\n        <softwareRef ref=\"acquisition\"/>\n");
    o.append("      </instrumentConfiguration>\n    </instrumentConfigurationList>\n");
    o.append("    <dataProcessingList count=\"1\">\n      <dataProcessing id=\"kestrune_export\">\n");
    o.append("        <processingMethod order=\"0\" softwareRef=\"kestrune\">\n");
    cv_param(o, 5, term::kConversionToMzml);
    if (run.lock_mass_corrected) {
        cv_param(o, 5, term::kMzCalibration);
        for (const auto& p : run.lock_mass_params) user_param(o, 5, p);
    }
    o.append("        </processingMethod>\n      </dataProcessing>\n    </dataProcessingList>\n");
    fmt::format_to(out, "    <run id=\"{}\" defaultInstrumentConfigurationRef=\"IC1\" defaultSourceFileRef=\"RAW1\"",
                   xml_escape(run.run_id));
    if (run.sample_name) o.append(" sampleRef=\"sample1\"");
    if (run.start_time_stamp) fmt::format_to(out, " startTimeStamp=\"{}\"", xml_escape(*run.start_time_stamp));
    o.append(">\n");
    if (n_spectra_ > 0) {
        fmt::format_to(out, "      <spectrumList count=\"{}\" defaultDataProcessingRef=\"kestrune_export\">\n",
                       n_spectra_);
        spectrum_list_open_ = true;
    }
    emit_buffer();
}

void MzmlWriter::encode(std::span<const std::uint8_t> raw) {
    encoded_.clear();
    if (!compress_) {
        base64_append(raw, encoded_);
        return;
    }
    if (!zstream_ && !zlib_failed_) {
        auto* z = new z_stream{};
        if (deflateInit(z, zlib_level_) == Z_OK) {
            zstream_ = z;
        } else {
            delete z;
            zlib_failed_ = true;
        }
    }
    std::size_t packed_size = 0;
    if (raw.size() > 0xFFFFFFFFu) zlib_failed_ = true;  // beyond one deflate call; no scan is this large
    if (auto* z = static_cast<z_stream*>(zstream_); z && !zlib_failed_) {
        const uLong bound = deflateBound(z, static_cast<uLong>(raw.size()));
        if (packed_.size() < bound) packed_.resize(bound);
        z->next_in = const_cast<Bytef*>(raw.data());
        z->avail_in = static_cast<uInt>(raw.size());
        z->next_out = packed_.data();
        z->avail_out = static_cast<uInt>(packed_.size());
        if (deflate(z, Z_FINISH) == Z_STREAM_END)
            packed_size = z->total_out;
        else
            zlib_failed_ = true;
        deflateReset(z);
    }
    base64_append(std::span<const std::uint8_t>(packed_.data(), packed_size), encoded_);
}

void MzmlWriter::binary_array(std::span<const std::uint8_t> raw, std::size_t length, std::size_t default_length,
                              const term::Term& precision, const term::Term& type,
                              std::optional<std::string_view> type_value, std::optional<term::Term> unit) {
    encode(raw);
    std::string& o = buf_;
    indent(o, 5);
    fmt::format_to(std::back_inserter(o), "<binaryDataArray encodedLength=\"{}\"", encoded_.size());
    if (length != default_length) fmt::format_to(std::back_inserter(o), " arrayLength=\"{}\"", length);
    o.append(">\n");
    cv_param(o, 6, precision);
    cv_param(o, 6, compress_ ? term::kZlibCompression : term::kNoCompression);
    cv_param(o, 6, type, type_value.value_or(std::string_view{}), unit);
    indent(o, 6);
    o.append("<binary>");
    o.append(encoded_);
    o.append("</binary>\n");
    indent(o, 5);
    o.append("</binaryDataArray>\n");
}

void MzmlWriter::spectrum(const SpectrumEntry& s) {
    const std::size_t index = spectrum_offsets_.size();
    const std::size_t n = s.mz.size();
    std::string& o = buf_;
    auto out = std::back_inserter(o);
    spectrum_offsets_.emplace_back(std::string(s.id), offset_ + o.size() + 6);
    fmt::format_to(out, "      <spectrum index=\"{}\" id=\"{}\" defaultArrayLength=\"{}\">\n", index,
                   xml_escape(s.id), n);
    cv_param(o, 4, term::kMsLevel, fmt::format("{}", s.ms_level));
    cv_param(o, 4, s.calibration ? term::kCalibrationSpectrum
                                 : s.ms_level > 1 ? term::kMsnSpectrum : term::kMs1Spectrum);
    cv_param(o, 4, s.profile ? term::kProfileSpectrum : term::kCentroidSpectrum);
    if (s.acquisition_method) cv_param(o, 4, *s.acquisition_method);
    if (s.polarity)
        cv_param(o, 4, *s.polarity == raw::Polarity::Positive ? term::kPositiveScan : term::kNegativeScan);
    const SpectrumStats st = s.intensity_is_64 ? spectrum_stats(s.mz, s.intensity64) : spectrum_stats(s.mz, s.intensity);
    cv_param(o, 4, term::kTotalIonCurrent, text::plain(st.tic));
    if (st.base_peak) {
        const double base = s.intensity_is_64 ? s.intensity64[*st.base_peak] : double(s.intensity[*st.base_peak]);
        cv_param(o, 4, term::kBasePeakMz, text::plain(s.mz[*st.base_peak]), term::kUnitMz);
        cv_param(o, 4, term::kBasePeakIntensity,
                 s.intensity_is_64 ? text::plain(base) : text::plain(s.intensity[*st.base_peak]),
                 term::kUnitDetectorCounts);
        cv_param(o, 4, term::kLowestObservedMz, text::plain(st.lowest_mz), term::kUnitMz);
        cv_param(o, 4, term::kHighestObservedMz, text::plain(st.highest_mz), term::kUnitMz);
    }
    o.append("        <scanList count=\"1\">\n");
    cv_param(o, 5, term::kNoCombination);
    o.append("          <scan>\n");
    cv_param(o, 6, term::kScanStartTime, text::plain(s.rt_min), term::kUnitMinute);
    if (s.drift_ms_of_scan) cv_param(o, 6, term::kDriftTime, text::plain(*s.drift_ms_of_scan), term::kUnitMillisecond);
    // Collision energy is an attribute of precursor activation; a full-scan
    // function's setting is kept as a user parameter.
    if (s.collision_energy && s.ms_level == 1)
        user_param(o, 6, {"collision energy", text::plain(*s.collision_energy), "xsd:double", term::kUnitElectronvolt});
    o.append("            <scanWindowList count=\"1\">\n              <scanWindow>\n");
    cv_param(o, 8, term::kScanWindowLower, text::plain(s.window_low), term::kUnitMz);
    cv_param(o, 8, term::kScanWindowUpper, text::plain(s.window_high), term::kUnitMz);
    o.append("              </scanWindow>\n            </scanWindowList>\n          </scan>\n        </scanList>\n");
    if (s.ms_level > 1) {
        o.append("        <precursorList count=\"1\">\n          <precursor>\n");
        if (s.isolation) {
            o.append("            <isolationWindow>\n");
            cv_param(o, 7, term::kIsolationTarget, text::plain(s.isolation->target), term::kUnitMz);
            cv_param(o, 7, term::kIsolationLowerOffset, text::plain(s.isolation->lower_offset), term::kUnitMz);
            cv_param(o, 7, term::kIsolationUpperOffset, text::plain(s.isolation->upper_offset), term::kUnitMz);
            o.append("            </isolationWindow>\n");
        }
        if (s.selected_mz) {
            o.append("            <selectedIonList count=\"1\">\n              <selectedIon>\n");
            cv_param(o, 8, term::kSelectedIonMz, text::plain(*s.selected_mz), term::kUnitMz);
            o.append("              </selectedIon>\n            </selectedIonList>\n");
        }
        o.append("            <activation>\n");
        cv_param(o, 7, term::kBeamTypeCid);
        if (s.collision_energy)
            cv_param(o, 7, term::kCollisionEnergy, text::plain(*s.collision_energy), term::kUnitElectronvolt);
        o.append("            </activation>\n          </precursor>\n        </precursorList>\n");
    }
    fmt::format_to(out, "        <binaryDataArrayList count=\"{}\">\n", s.ims ? 3 : 2);
    binary_array(as_bytes(s.mz), n, n, term::kFloat64, term::kMzArray, std::nullopt, term::kUnitMz);
    if (s.intensity_is_64)
        binary_array(as_bytes(s.intensity64), s.intensity64.size(), n, term::kFloat64, term::kIntensityArray,
                     std::nullopt, term::kUnitDetectorCounts);
    else
        binary_array(as_bytes(s.intensity), s.intensity.size(), n, term::kFloat32, term::kIntensityArray,
                     std::nullopt, term::kUnitDetectorCounts);
    if (s.ims)
        binary_array(as_bytes(s.drift_ms), s.drift_ms.size(), n, term::kFloat64, term::kRawIonMobilityArray,
                     std::nullopt, term::kUnitMillisecond);
    o.append("        </binaryDataArrayList>\n      </spectrum>\n");
    emit_buffer();
}

void MzmlWriter::close_spectrum_list() {
    if (spectrum_list_open_) {
        emit("      </spectrumList>\n");
        spectrum_list_open_ = false;
    }
}

void MzmlWriter::chromatogram(const ChromatogramEntry& c) {
    close_spectrum_list();
    std::string& o = buf_;
    auto out = std::back_inserter(o);
    if (!chromatogram_list_open_ && chromatogram_offsets_.empty()) {
        fmt::format_to(out, "      <chromatogramList count=\"{}\" defaultDataProcessingRef=\"kestrune_export\">\n",
                       n_chromatograms_);
        chromatogram_list_open_ = true;
    }
    const std::size_t index = chromatogram_offsets_.size();
    const std::size_t n = c.time_min.size();
    chromatogram_offsets_.emplace_back(std::string(c.id), offset_ + o.size() + 6);
    fmt::format_to(out, "      <chromatogram index=\"{}\" id=\"{}\" defaultArrayLength=\"{}\">\n", index,
                   xml_escape(c.id), n);
    if (c.type) cv_param(o, 4, *c.type);
    for (const auto& p : c.user_params) user_param(o, 4, p);
    o.append("        <binaryDataArrayList count=\"2\">\n");
    binary_array(as_bytes(c.time_min), n, n, term::kFloat32, term::kTimeArray, std::nullopt, term::kUnitMinute);
    if (c.values_are_64)
        binary_array(as_bytes(c.values64), c.values64.size(), n, term::kFloat64, c.value_array, c.value_array_text,
                     c.value_unit);
    else
        binary_array(as_bytes(c.values32), c.values32.size(), n, term::kFloat32, c.value_array, c.value_array_text,
                     c.value_unit);
    o.append("        </binaryDataArrayList>\n      </chromatogram>\n");
    emit_buffer();
}

Result<void> MzmlWriter::finish() {
    if (spectrum_offsets_.size() != n_spectra_ || chromatogram_offsets_.size() != n_chromatograms_)
        return parse_error(fmt::format("mzML: {} of {} spectra and {} of {} chromatograms written",
                                       spectrum_offsets_.size(), n_spectra_, chromatogram_offsets_.size(),
                                       n_chromatograms_));
    if (zlib_failed_) return parse_error("mzML: zlib compression failed");
    close_spectrum_list();
    std::string& o = buf_;
    auto out = std::back_inserter(o);
    if (chromatogram_list_open_) {
        o.append("      </chromatogramList>\n");
        chromatogram_list_open_ = false;
    }
    o.append("    </run>\n  </mzML>\n");
    emit_buffer();
    const std::uint64_t index_list_offset = offset_ + 2;
    const int n_indexes = int(!spectrum_offsets_.empty()) + int(!chromatogram_offsets_.empty());
    fmt::format_to(out, "  <indexList count=\"{}\">\n", n_indexes);
    const auto write_index = [&](std::string_view name, const auto& offsets) {
        if (offsets.empty()) return;
        fmt::format_to(out, "    <index name=\"{}\">\n", name);
        for (const auto& [id, off] : offsets)
            fmt::format_to(out, "      <offset idRef=\"{}\">{}</offset>\n", xml_escape(id), off);
        o.append("    </index>\n");
    };
    write_index("spectrum", spectrum_offsets_);
    write_index("chromatogram", chromatogram_offsets_);
    o.append("  </indexList>\n");
    fmt::format_to(out, "  <indexListOffset>{}</indexListOffset>\n  <fileChecksum>", index_list_offset);
    emit_buffer();
    const std::string checksum = sha1_.hex_digest();
    o.append(checksum);
    o.append("</fileChecksum>\n</indexedmzML>\n");
    emit_buffer();
    return {};
}

}  // namespace kestrune::cli
