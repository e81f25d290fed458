#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "export/plan.h"
#include "mzml/instrument_models.h"
#include "reader/representation.h"
#include "raw/header.h"
#include "reader/reader.h"

namespace kestrune {
using namespace exporting;
using namespace mzml;
using namespace reader;

namespace {

TEST(ChannelKind, UnitsPickTypeArrayAndConversion) {
    struct Case {
        const char* units;
        const char* type;  // "" for none
        const char* array;
        const char* unit;
        double recorded, written;
    };
    const Case cases[] = {
        {"bar", "MS:1003019", "MS:1000821", "UO:0000110", 2.5, 250000.0},
        {" PSI ", "MS:1003019", "MS:1000821", "UO:0000110", 1.0, 6894.757293168361},
        {"MPa", "MS:1003019", "MS:1000821", "UO:0000110", 0.5, 500000.0},
        {"C", "MS:1002715", "MS:1000822", "UO:0000012", 40.0, 313.15},
        {"\xC2\xB0" "C", "MS:1002715", "MS:1000822", "UO:0000012", 0.0, 273.15},
        {"uL/min", "MS:1003020", "MS:1000820", "UO:0000271", 0.3, 0.3},
        {"mL/min", "MS:1003020", "MS:1000820", "UO:0000271", 0.5, 500.0},
        {"mAU", "MS:1000811", "MS:1000786", "", 7.0, 7.0},
        {"%", "", "MS:1000786", "", 7.0, 7.0},
    };
    for (const Case& c : cases) {
        const ChannelKind k = channel_kind(c.units);
        EXPECT_EQ(k.type ? k.type->accession : "", c.type) << c.units;
        EXPECT_EQ(k.value_array.accession, c.array) << c.units;
        EXPECT_EQ(k.unit ? k.unit->accession : "", c.unit) << c.units;
        EXPECT_DOUBLE_EQ(c.recorded * k.scale + k.offset, c.written) << c.units;
        EXPECT_EQ(k.converted, c.recorded != c.written) << c.units;
    }
}

TEST(PerBinScan, FrameAndDriftWordMakeUniqueScanNumbers) {
    // 100 ms scans: a drift word of 16384 is 25 ms.
    EXPECT_EQ(per_bin_scan(0, 0.0, 100.0), 1u);
    EXPECT_EQ(per_bin_scan(0, 16384 * 100.0 / 65536.0, 100.0), 16385u);
    EXPECT_EQ(per_bin_scan(2, 65535 * 100.0 / 65536.0, 100.0), 2u * 65536 + 65536);
    EXPECT_EQ(per_bin_scan(1, 5.0, 0.0), 65537u);  // no scan time: every drift in word 0
}

TEST(InstrumentModel, HeaderTextMatchesModelNamesIgnoringCaseAndPunctuation) {
    const auto accession = [](std::string_view text) {
        const InstrumentModel* m = match_instrument_model(raw::header::split_instrument(text).model);
        return m ? std::string(m->accession) : std::string();
    };
    EXPECT_EQ(accession("SYNAPT G2-Si"), "MS:1002726");
    EXPECT_EQ(accession("XEVO-G2XSQTOF#NotSet"), "MS:1003252");
    EXPECT_EQ(accession("xevo g2-s qtof#ABC"), "MS:1002276");
    EXPECT_EQ(accession("Prototype 9000"), "");
    EXPECT_EQ(accession(""), "");
    EXPECT_EQ(raw::header::split_instrument("XEVO-G2XSQTOF#NotSet").serial_number, std::nullopt);
    EXPECT_EQ(raw::header::split_instrument("SYNAPT G2-Si # UEB205").serial_number, "UEB205");
    EXPECT_EQ(raw::header::split_instrument("SYNAPT G2-Si").serial_number, std::nullopt);
}

TEST(Header, TextsThatAreNotUtf8AreWindows1252) {
    const auto header = raw::Header::from_bytes_as_written("$$ User Name: J\xFCrgen\r\n$$ Sample Description: 5 \xB5L \x80\r\n");
    ASSERT_TRUE(header);
    EXPECT_EQ(header->operator_, "J\xC3\xBCrgen");
    EXPECT_EQ(header->sample_description, "5 \xC2\xB5L \xE2\x82\xAC");
    const auto utf8 = raw::Header::from_bytes_as_written("$$ User Name: J\xC3\xBCrgen\n");
    ASSERT_TRUE(utf8);
    EXPECT_EQ(utf8->operator_, "J\xC3\xBCrgen");
}

TEST(ScanBatches, ConsecutiveScansUpToTheBatchSizeALargeScanAlone) {
    // Function 1: ten 40 KiB scans; function 2: a 1 MiB scan, then two small
    // per-bin frames of 200 spectra each.
    constexpr std::uint32_t K = 1024;
    reader::FunctionEntry one, two;
    std::vector<raw::ScanIndexB> a, b;
    for (std::uint32_t i = 0; i < 10; ++i) a.push_back({i * 40 * K, 0.1f * float(i)});
    one.idx = raw::ScanIndex(a);
    one.dat_size = 10 * 40 * K;
    b = {{0, 0}, {1024 * K, 1}, {1024 * K + 100, 2}};
    two.idx = raw::ScanIndex(b);
    two.dat_size = 1024 * K + 200;
    ExportPlan plan;
    plan.functions.resize(2);
    plan.functions[0].entry = &one;
    plan.functions[1].entry = &two;
    for (std::uint64_t s = 0; s < 10; ++s) plan.scans.push_back({0, 0, s, 1, 1});
    plan.scans.push_back({0, 1, 0, 1, 1});
    plan.scans.push_back({0, 1, 1, 200, 1});
    plan.scans.push_back({0, 1, 2, 200, 1});

    const std::vector<ScanBatch> batches = batch_scans(plan);
    std::vector<std::pair<std::size_t, std::size_t>> got;
    for (const ScanBatch& x : batches) got.emplace_back(x.first, x.last);
    const std::size_t per = kBatchBytes / (40 * K + kSpectrumTextBytes);  // 40 KiB scans a batch holds
    ASSERT_GE(per, 2u);
    ASSERT_LT(per, 10u);
    std::vector<std::pair<std::size_t, std::size_t>> want;
    for (std::size_t i = 0; i < 10; i += per) want.emplace_back(i, std::min<std::size_t>(i + per, 10));
    want.insert(want.end(), {{10, 11}, {11, 12}, {12, 13}});
    EXPECT_EQ(got, want);
    EXPECT_TRUE(batch_scans(ExportPlan{}).empty());
}

TEST(Representation, DenseSpacingIsProfileSparseOrTooFewIsCentroid) {
    std::vector<double> dense, sparse, gaps;
    for (int i = 0; i < 40; ++i) dense.push_back(500.0 + i * 0.01);  // 20 ppm apart
    for (int i = 0; i < 40; ++i) sparse.push_back(100.0 + i * 25.0);
    collect_spacings(dense, {}, gaps);
    EXPECT_EQ(judge_spacings(gaps), Representation::Profile);
    gaps.clear();
    collect_spacings(sparse, {}, gaps);
    EXPECT_EQ(judge_spacings(gaps), Representation::Centroid);
    gaps.clear();
    collect_spacings(std::vector<double>(dense.begin(), dense.begin() + 8), {}, gaps);
    EXPECT_EQ(judge_spacings(gaps), Representation::Centroid);
    // Ion-mobility frames: the same m/z in many drift bins is no spacing, and
    // sticks spread over drift bins stay sticks.
    std::vector<double> mz, drift;
    for (int bin = 0; bin < 30; ++bin)
        for (int k = 0; k < 3; ++k) {
            mz.push_back(200.0 + 300.0 * k + bin * 1e-4);
            drift.push_back(bin);
        }
    gaps.clear();
    collect_spacings(mz, drift, gaps);
    EXPECT_EQ(judge_spacings(gaps), Representation::Centroid);
}

}  // namespace
}  // namespace kestrune
