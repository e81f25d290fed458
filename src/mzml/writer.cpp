#include "mzml/writer.h"

#include <cstring>

#include <fmt/format.h>

#include "text.h"

namespace kestrune::mzml {

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

MzmlWriter::MzmlWriter(ByteSink& sink, const ArrayEncoding& encoding) : sink_(sink), encoder_(encoding) {}

void MzmlWriter::emit(std::string_view text) {
    sha1_.update(text);
    sink_.write(text);
    offset_ += text.size();
}

void MzmlWriter::emit_buffer() {
    emit(buf_);
    buf_.clear();
}

namespace {

void document_head(std::string& o, const RunDescription& run) {
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
    fmt::format_to(out, "      <cv id=\"UO\" fullName=\"Unit Ontology\" version=\"{}\" URI=\"{}\"/>\n",
                   term::kUoVersion, term::kUoUri);
    o.append("    </cvList>\n");
}

void file_description(std::string& o, const RunDescription& run) {
    auto out = std::back_inserter(o);
    o.append("    <fileDescription>\n      <fileContent>\n");
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
    for (const auto& p : run.source_params) user_param(o, 5, p);
    o.append("        </sourceFile>\n      </sourceFileList>\n    </fileDescription>\n");
    if (run.sample_name) {
        fmt::format_to(out,
                       "    <sampleList count=\"1\">\n      <sample id=\"sample1\" name=\"{}\"/>\n"
                       "    </sampleList>\n",
                       xml_escape(*run.sample_name));
    }
}

void software_and_instrument(std::string& o, const RunDescription& run) {
    auto out = std::back_inserter(o);
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
}

void data_processing(std::string& o, const RunDescription& run) {
    o.append("    <dataProcessingList count=\"1\">\n      <dataProcessing id=\"kestrune_export\">\n");
    o.append("        <processingMethod order=\"0\" softwareRef=\"kestrune\">\n");
    cv_param(o, 5, term::kConversionToMzml);
    if (run.lock_mass_corrected) cv_param(o, 5, term::kMzCalibration);
    for (const auto& p : run.processing_params) user_param(o, 5, p);
    if (run.lock_mass_corrected)
        for (const auto& p : run.lock_mass_params) user_param(o, 5, p);
    o.append("        </processingMethod>\n");
    if (run.peak_picked) {
        o.append("        <processingMethod order=\"1\" softwareRef=\"kestrune\">\n");
        cv_param(o, 5, term::kPeakPicking);
        for (const auto& p : run.peak_picking_params) user_param(o, 5, p);
        o.append("        </processingMethod>\n");
    }
    o.append("      </dataProcessing>\n    </dataProcessingList>\n");
}

}  // namespace

void MzmlWriter::begin(const RunDescription& run, std::size_t n_spectra, std::size_t n_chromatograms) {
    n_spectra_ = n_spectra;
    n_chromatograms_ = n_chromatograms;
    std::string& o = buf_;
    auto out = std::back_inserter(o);
    document_head(o, run);
    file_description(o, run);
    software_and_instrument(o, run);
    data_processing(o, run);
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

namespace {

// One binaryDataArray element; false when the encoder failed.
template <class T>
bool binary_array(std::string& o, ArrayEncoder& encoder, std::span<const T> values, ArrayRole role,
                  std::size_t default_length, const term::Term& type, std::optional<std::string_view> type_value,
                  std::optional<term::Term> unit) {
    const auto encoded = encoder.encode(values, role);
    if (!encoded) return false;
    indent(o, 5);
    fmt::format_to(std::back_inserter(o), "<binaryDataArray encodedLength=\"{}\"", encoded->base64.size());
    if (values.size() != default_length) fmt::format_to(std::back_inserter(o), " arrayLength=\"{}\"", values.size());
    o.append(">\n");
    cv_param(o, 6, encoded->precision);
    cv_param(o, 6, encoded->compression);
    cv_param(o, 6, type, type_value.value_or(std::string_view{}), unit);
    indent(o, 6);
    if (encoded->base64.empty()) {
        o.append("<binary/>\n");
    } else {
        o.append("<binary>");
        o.append(encoded->base64);
        o.append("</binary>\n");
    }
    indent(o, 5);
    o.append("</binaryDataArray>\n");
    return true;
}

}  // namespace

void RenderedSpectra::clear() noexcept {
    text.clear();
    spectra.clear();
    failed = false;
}

namespace {

// The spectrum's own parameters: level, kind, representation, summary values.
void spectrum_params(std::string& o, const SpectrumEntry& s) {
    cv_param(o, 4, term::kMsLevel, fmt::format("{}", s.ms_level));
    cv_param(o, 4, s.calibration ? term::kCalibrationSpectrum
                                 : s.ms_level > 1 ? term::kMsnSpectrum : term::kMs1Spectrum);
    cv_param(o, 4, s.profile ? term::kProfileSpectrum : term::kCentroidSpectrum);
    if (s.acquisition_method) cv_param(o, 4, *s.acquisition_method);
    if (s.polarity) cv_param(o, 4, *s.polarity == Polarity::Positive ? term::kPositiveScan : term::kNegativeScan);
    const SpectrumStats st = s.intensity_is_64 ? spectrum_stats(s.mz, s.intensity64) : spectrum_stats(s.mz, s.intensity);
    cv_param(o, 4, term::kTotalIonCurrent, text::plain(st.tic));
    if (!st.base_peak) return;
    const double base = s.intensity_is_64 ? s.intensity64[*st.base_peak] : double(s.intensity[*st.base_peak]);
    cv_param(o, 4, term::kBasePeakMz, text::plain(s.mz[*st.base_peak]), term::kUnitMz);
    cv_param(o, 4, term::kBasePeakIntensity, s.intensity_is_64 ? text::plain(base) : text::plain(s.intensity[*st.base_peak]),
             term::kUnitDetectorCounts);
    cv_param(o, 4, term::kLowestObservedMz, text::plain(st.lowest_mz), term::kUnitMz);
    cv_param(o, 4, term::kHighestObservedMz, text::plain(st.highest_mz), term::kUnitMz);
}

void scan_list(std::string& o, const SpectrumEntry& s) {
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
}

void precursor_list(std::string& o, const SpectrumEntry& s) {
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

}  // namespace

void render_spectrum(const SpectrumEntry& s, std::size_t index, ArrayEncoder& encoder, RenderedSpectra& rendered) {
    const std::size_t n = s.mz.size();
    std::string& o = rendered.text;
    auto out = std::back_inserter(o);
    rendered.spectra.emplace_back(std::string(s.id), o.size() + 6);
    fmt::format_to(out, "      <spectrum index=\"{}\" id=\"{}\" defaultArrayLength=\"{}\">\n", index,
                   xml_escape(s.id), n);
    spectrum_params(o, s);
    scan_list(o, s);
    if (s.ms_level > 1) precursor_list(o, s);
    fmt::format_to(out, "        <binaryDataArrayList count=\"{}\">\n", s.ims ? 3 : 2);
    bool ok = binary_array(o, encoder, s.mz, ArrayRole::Mz, n, term::kMzArray, std::nullopt, term::kUnitMz);
    if (s.intensity_is_64)
        ok = ok && binary_array(o, encoder, s.intensity64, ArrayRole::Intensity, n, term::kIntensityArray,
                                std::nullopt, term::kUnitDetectorCounts);
    else
        ok = ok && binary_array(o, encoder, s.intensity, ArrayRole::Intensity, n, term::kIntensityArray,
                                std::nullopt, term::kUnitDetectorCounts);
    if (s.ims)
        ok = ok && binary_array(o, encoder, s.drift_ms, ArrayRole::Other, n, term::kRawIonMobilityArray, std::nullopt,
                                term::kUnitMillisecond);
    if (!ok) rendered.failed = true;
    o.append("        </binaryDataArrayList>\n      </spectrum>\n");
}

void MzmlWriter::spectrum(const SpectrumEntry& s) {
    rendered_.clear();
    render_spectrum(s, spectrum_offsets_.size(), encoder_, rendered_);
    append(rendered_);
}

void MzmlWriter::append(const RenderedSpectra& r) {
    for (const auto& [id, at] : r.spectra) spectrum_offsets_.add(id, offset_ + at);
    if (r.failed) encode_failed_ = true;
    emit(r.text);
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
    chromatogram_offsets_.add(c.id, offset_ + o.size() + 6);
    fmt::format_to(out, "      <chromatogram index=\"{}\" id=\"{}\" defaultArrayLength=\"{}\">\n", index,
                   xml_escape(c.id), n);
    if (c.type) cv_param(o, 4, *c.type);
    for (const auto& p : c.user_params) user_param(o, 4, p);
    o.append("        <binaryDataArrayList count=\"2\">\n");
    bool ok = binary_array(o, encoder_, c.time_min, ArrayRole::Other, n, term::kTimeArray, std::nullopt,
                           term::kUnitMinute);
    if (c.values_are_64)
        ok = ok && binary_array(o, encoder_, c.values64, ArrayRole::Other, n, c.value_array, c.value_array_text,
                                c.value_unit);
    else
        ok = ok && binary_array(o, encoder_, c.values32, ArrayRole::Other, n, c.value_array, c.value_array_text,
                                c.value_unit);
    if (!ok) encode_failed_ = true;
    o.append("        </binaryDataArrayList>\n      </chromatogram>\n");
    emit_buffer();
}

void MzmlWriter::OffsetIndex::add(std::string_view id, std::uint64_t offset) {
    ids.append(id);
    id_ends.push_back(ids.size());
    offsets.push_back(offset);
}

std::string_view MzmlWriter::OffsetIndex::id(std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : id_ends[i - 1];
    return std::string_view(ids).substr(start, id_ends[i] - start);
}

// One index of the index list, handed on in pieces of about a megabyte.
void MzmlWriter::write_index(std::string_view name, const OffsetIndex& index) {
    if (index.empty()) return;
    auto out = std::back_inserter(buf_);
    fmt::format_to(out, "    <index name=\"{}\">\n", name);
    for (std::size_t i = 0; i < index.size(); ++i) {
        fmt::format_to(out, "      <offset idRef=\"{}\">{}</offset>\n", xml_escape(index.id(i)), index.offsets[i]);
        if (buf_.size() >= output::kWriteBufferBytes) emit_buffer();
    }
    buf_.append("    </index>\n");
}

Result<void> MzmlWriter::finish() {
    if (spectrum_offsets_.size() != n_spectra_ || chromatogram_offsets_.size() != n_chromatograms_)
        return parse_error(fmt::format("mzML: {} of {} spectra and {} of {} chromatograms written",
                                       spectrum_offsets_.size(), n_spectra_, chromatogram_offsets_.size(),
                                       n_chromatograms_));
    if (encode_failed_) return parse_error("mzML: compressing a binary data array failed");
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

}  // namespace kestrune::mzml
