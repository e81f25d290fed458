#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "codec/base64.h"
#include "mzml/writer.h"
#include "codec/sha1.h"

namespace kestrune {
using namespace codec;
using namespace mzml;
using output::StringSink;

namespace {

RunDescription small_run() {
    RunDescription run;
    run.run_id = "run1";
    run.source_name = "x.raw";
    run.source_location = "file:///tmp";
    run.file_content = {term::kMs1Spectrum, term::kTicChromatogram};
    run.software_version = "0.1.0";
    return run;
}

struct Document {
    std::string text;
};

Document write_document(bool compress, const std::vector<double>& mz, const std::vector<float>& in) {
    StringSink sink;
    MzmlWriter w(sink, ArrayEncoding{.compress = compress});
    w.begin(small_run(), 2, 1);
    SpectrumEntry s;
    s.id = "function=1 process=0 scan=1";
    s.rt_min = 0.5f;
    s.mz = mz;
    s.intensity = in;
    w.spectrum(s);
    const std::vector<double> drift{1.0, 2.0, 3.0};
    s.id = "function=2 process=0 scan=1";
    s.ms_level = 2;
    s.ims = true;
    s.drift_ms = drift;
    w.spectrum(s);
    const std::vector<float> t{0.5f};
    const std::vector<double> tic{60.0};
    ChromatogramEntry c;
    c.id = "TIC <function=1>";
    c.time_min = t;
    c.values64 = tic;
    w.chromatogram(c);
    EXPECT_TRUE(w.finish());
    EXPECT_EQ(w.bytes_written(), sink.text.size());
    return {sink.text};
}

const std::vector<double> kMz{100.25, 200.5, 1e-300};
const std::vector<float> kIn{10.0f, 30.0f, 20.0f};

TEST(MzmlIndex, OffsetsPointAtTheOpeningOfEachElement) {
    const std::string doc = write_document(true, kMz, kIn).text;
    const std::regex offset_re(R"re(<offset idRef="([^"]*)">(\d+)</offset>)re");
    int n = 0;
    for (auto it = std::sregex_iterator(doc.begin(), doc.end(), offset_re); it != std::sregex_iterator(); ++it) {
        const std::string id = (*it)[1];
        const std::size_t off = std::stoull((*it)[2]);
        ASSERT_LT(off, doc.size());
        const std::string_view at(doc.data() + off, doc.size() - off);
        const bool spectrum = at.starts_with("<spectrum ");
        EXPECT_TRUE(spectrum || at.starts_with("<chromatogram ")) << id;
        EXPECT_NE(at.substr(0, 200).find("id=\"" + id + "\""), std::string_view::npos) << id;
        ++n;
    }
    EXPECT_EQ(n, 3);
    // The chromatogram id is escaped the same way in the element and the index.
    EXPECT_NE(doc.find("idRef=\"TIC &lt;function=1&gt;\""), std::string::npos);

    const std::regex list_re(R"(<indexListOffset>(\d+)</indexListOffset>)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(doc, m, list_re));
    EXPECT_TRUE(std::string_view(doc).substr(std::stoull(m[1])).starts_with("<indexList count=\"2\">"));
}

TEST(MzmlIndex, ChecksumIsSha1OfEverythingThroughTheOpeningTag) {
    const std::string doc = write_document(false, kMz, kIn).text;
    const std::string tag = "<fileChecksum>";
    const std::size_t at = doc.find(tag);
    ASSERT_NE(at, std::string::npos);
    Sha1 h;
    h.update(std::string_view(doc).substr(0, at + tag.size()));
    EXPECT_EQ(doc.substr(at + tag.size(), 40), h.hex_digest());
    EXPECT_TRUE(doc.ends_with("</fileChecksum>\n</indexedmzML>\n"));
}

std::vector<std::string> binaries(const std::string& doc) {
    std::vector<std::string> out;
    for (std::size_t p = 0; (p = doc.find("<binary>", p)) != std::string::npos;) {
        p += 8;
        out.push_back(doc.substr(p, doc.find("</binary>", p) - p));
    }
    return out;
}

TEST(MzmlArrays, UncompressedArraysHoldTheExactBytes) {
    const std::string doc = write_document(false, kMz, kIn).text;
    const auto b = binaries(doc);
    ASSERT_EQ(b.size(), 7u);  // 2 + 3 spectrum arrays, 2 chromatogram arrays
    auto mz = base64_decode(b[0]);
    ASSERT_TRUE(mz);
    ASSERT_EQ(mz->size(), kMz.size() * 8);
    EXPECT_EQ(std::memcmp(mz->data(), kMz.data(), mz->size()), 0);
    auto in = base64_decode(b[1]);
    ASSERT_TRUE(in);
    ASSERT_EQ(in->size(), kIn.size() * 4);
    EXPECT_EQ(std::memcmp(in->data(), kIn.data(), in->size()), 0);
    EXPECT_NE(doc.find("accession=\"MS:1000576\""), std::string::npos);
    EXPECT_EQ(doc.find("accession=\"MS:1000574\""), std::string::npos);
    // encodedLength is the length of the base64 text.
    EXPECT_NE(doc.find("encodedLength=\"" + std::to_string(b[0].size()) + "\""), std::string::npos);
}

TEST(MzmlArrays, ZlibArraysInflateToTheExactBytes) {
    const std::string doc = write_document(true, kMz, kIn).text;
    const auto b = binaries(doc);
    auto packed = base64_decode(b[0]);
    ASSERT_TRUE(packed);
    std::vector<std::uint8_t> raw(kMz.size() * 8);
    uLongf n = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &n, packed->data(), packed->size()), Z_OK);
    ASSERT_EQ(n, raw.size());
    EXPECT_EQ(std::memcmp(raw.data(), kMz.data(), n), 0);
    EXPECT_NE(doc.find("accession=\"MS:1000574\""), std::string::npos);
}

TEST(MzmlSpectrum, SummaryValuesAndIonMobilityArray) {
    const std::string doc = write_document(true, kMz, kIn).text;
    EXPECT_NE(doc.find(R"(name="total ion current" value="60")"), std::string::npos);
    EXPECT_NE(doc.find(R"(name="base peak m/z" value="200.5")"), std::string::npos);
    EXPECT_NE(doc.find(R"(name="base peak intensity" value="30")"), std::string::npos);
    EXPECT_NE(doc.find(R"(name="highest observed m/z" value="200.5")"), std::string::npos);
    EXPECT_NE(doc.find(R"(name="scan start time" value="0.5" unitCvRef="UO" unitAccession="UO:0000031")"),
              std::string::npos);
    EXPECT_NE(doc.find(R"(accession="MS:1003007" name="raw ion mobility array" value="" unitCvRef="UO" )"
                       R"(unitAccession="UO:0000028" unitName="millisecond")"),
              std::string::npos);
    EXPECT_NE(doc.find("<binaryDataArrayList count=\"3\">"), std::string::npos);
    EXPECT_NE(doc.find("<precursorList count=\"1\">"), std::string::npos);  // the MS2 spectrum
}

TEST(MzmlSpectrum, StatsOfAnEmptyScanHaveNoBasePeak) {
    const SpectrumStats s = spectrum_stats(std::span<const double>{}, std::span<const float>{});
    EXPECT_EQ(s.tic, 0.0);
    EXPECT_FALSE(s.base_peak);
    const std::vector<double> mz{5.0, 3.0, 4.0};
    const std::vector<float> in{1.0f, 2.0f, 2.0f};
    const SpectrumStats t = spectrum_stats(mz, in);
    EXPECT_EQ(t.base_peak, 1u);  // the first of equal maxima
    EXPECT_EQ(t.lowest_mz, 3.0);
    EXPECT_EQ(t.highest_mz, 5.0);
}

TEST(MzmlWriter, FinishFailsWhenFewerElementsThanAnnouncedWereWritten) {
    StringSink sink;
    MzmlWriter w(sink, ArrayEncoding{});
    w.begin(small_run(), 2, 0);
    auto r = w.finish();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "parse error: mzML: 0 of 2 spectra and 0 of 0 chromatograms written");
}

TEST(XmlEscape, MarkupCharactersAndControlsAreNeverWrittenRaw) {
    EXPECT_EQ(xml_escape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
    EXPECT_EQ(xml_escape("t\tn\nr\r"), "t&#9;n&#10;r&#13;");
    EXPECT_EQ(xml_escape(std::string_view("x\0y\x1f", 4)), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
    EXPECT_EQ(xml_escape("\xE2\x82\xAC"), "\xE2\x82\xAC");
}

}  // namespace
}  // namespace kestrune
