// Writes the start corpus of every fuzz target: well-formed inputs made by
// the project's run writer (tests/cpp/support/run_writer.h), and from each a
// few slightly malformed copies (cut short, grown, one byte changed).
//
//   make_corpus OUT_DIR
//
// writes OUT_DIR/<target>/<name> for every target of fuzz/.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "raw/chroms.h"
#include "reader/lookup.h"
#include "run_image.h"
#include "support/run_writer.h"
#include "support/synthetic_spectrum.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using kestrune::testing::ByteImage;
using kestrune::testing::ByteVec;
namespace kt = kestrune::testing;
namespace raw = kestrune::raw;

namespace {

fs::path g_out;
std::uint64_t g_rng = 0x9E3779B97F4A7C15u;  // fixed rng state: the corpus is the same on every run

std::uint64_t next_random() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 7;
    g_rng ^= g_rng << 17;
    return g_rng;
}

void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_corpus: cannot write %s\n", p.c_str());
        std::exit(1);
    }
}

// One well-formed input and its malformed copies.
void emit(const std::string& target, const std::string& name, const std::string& bytes, bool variants = true) {
    const fs::path dir = g_out / target;
    fs::create_directories(dir);
    write_file(dir / name, bytes);
    if (!variants || bytes.empty()) return;
    write_file(dir / (name + ".cut"), bytes.substr(0, bytes.size() - 1 - next_random() % bytes.size() / 4));
    std::string grown = bytes;
    grown.append(1 + next_random() % 9, static_cast<char>(next_random()));
    write_file(dir / (name + ".grown"), grown);
    std::string flipped = bytes;
    flipped[next_random() % flipped.size()] ^= static_cast<char>(1u << (next_random() % 8));
    write_file(dir / (name + ".flip"), flipped);
}

void emit(const std::string& target, const std::string& name, const ByteVec& bytes, bool variants = true) {
    emit(target, name, std::string(bytes.begin(), bytes.end()), variants);
}

ByteVec cat(const std::vector<ByteVec>& parts) {
    ByteVec out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

raw::functions_inf::FunctionInfo function_info(float mz_low, float mz_high, float scan_time_s,
                                               std::uint8_t subtype = 0x12) {
    raw::functions_inf::FunctionInfo f;
    f.function_type = 0x12;
    f.scan_subtype = subtype;
    f.cycle_time_s = scan_time_s + 0.02f;
    f.interscan_delay_s = 0.02f;
    f.scan_time_s = scan_time_s;
    f.tof_depth = 2000;
    f.mz_low = mz_low;
    f.mz_high = mz_high;
    return f;
}

// Scans of the four encodings, a few records each.
ByteVec scan_a(int k) {
    return cat({kt::record_a(10, 8, 0x800000u + 1000u * k), kt::record_a(0, 9, 0x900000), kt::record_a(250, 9, 0xA00000),
                kt::record_a(3, 10, 0xFFFFFF)});
}
ByteVec scan_b(int k) {
    return cat({kt::record_b(5, 100, 10), kt::record_b(7, 32768, static_cast<std::uint16_t>(100 + k)),
                kt::record_b(0, 1, 150), kt::record_b(9, 65535, 400)});
}
ByteVec scan_c(int k) {
    return cat({kt::record_c(5, 0, 1000), kt::record_c(12, 32768, static_cast<std::uint16_t>(1500 + k)),
                kt::record_c(0, 0, 1700), kt::record_c(3, 0, 3000)});
}
ByteVec scan_d(int k) {
    return cat({kt::record_d(65536, 0x0C000000u), kt::record_d(0x00018000u, 0x54000000u + 4096u * k),
                kt::record_d(0, 0), kt::record_d(1, 0x7FFFFFFFu)});
}

std::string as_string(const ByteVec& v) { return std::string(v.begin(), v.end()); }

std::string f64_bytes(double v) {
    std::string s(8, '\0');
    std::memcpy(s.data(), &v, 8);
    return s;
}

// The parameter prefix of the decoder targets.
std::string decode_params(bool t1, const std::vector<double>& coefficients, double tof, double mz_low,
                          double mz_high, double scan_time_ms) {
    std::string s;
    s += static_cast<char>(t1 ? 1 : 0);
    s += static_cast<char>(coefficients.size());
    for (double c : coefficients) s += f64_bytes(c);
    s += f64_bytes(tof) + f64_bytes(mz_low) + f64_bytes(mz_high) + f64_bytes(scan_time_ms);
    return s;
}

void decoder_corpus() {
    const double tof = 1.0217477667474355;  // Lteff 1200 mm, Veff 7200 V
    const std::vector<std::string> params = {
        decode_params(false, {}, tof, 100, 400, 100),
        decode_params(true, {0.0, 2.0}, tof, 50, 2000, 1000),
        decode_params(true, {-1.5e-3, 0.99995, 2.1e-7, -3e-12}, 3.2, 100, 1200, 200),
        decode_params(true, {}, 0.0, 0, 0, 0),
    };
    const char* names[] = {"a", "b", "c", "d"};
    ByteVec (*scans[])(int) = {scan_a, scan_b, scan_c, scan_d};
    for (int e = 0; e < 4; ++e) {
        const std::string target = fmt::format("decode_{}", names[e]);
        for (std::size_t p = 0; p < params.size(); ++p) {
            emit(target, fmt::format("p{}-one", p), params[p] + as_string(scans[e](1)));
            ByteVec many;
            for (int k = 0; k < 16; ++k) {
                const ByteVec s = scans[e](k);
                many.insert(many.end(), s.begin(), s.end());
            }
            emit(target, fmt::format("p{}-many", p), params[p] + as_string(many));
        }
        emit(target, "empty-scan", params[0], false);
    }
}

void function_table_corpus() {
    emit("functions_inf", "empty", std::string(), false);
    emit("functions_inf", "one", kt::function_record(function_info(50, 2000, 0.5)));
    emit("functions_inf", "two", cat({kt::function_record(function_info(50, 2000, 0.5)),
                                      kt::function_record(function_info(100, 1200, 1.0, 0x92))}));
}

std::vector<raw::ScanIndexA> index_records(std::uint32_t count, std::uint32_t width) {
    std::vector<raw::ScanIndexA> r;
    for (std::uint32_t i = 0; i < count; ++i) r.push_back({i * 4 * width, 4, 0.01f * static_cast<float>(i), 0});
    return r;
}

void index_corpus() {
    emit("index", "a-6", kt::index_a_image(index_records(5, 6)));
    emit("index", "a-8", kt::index_a_image(index_records(7, 8)));
    std::vector<raw::ScanIndexB> b;
    for (std::uint32_t i = 0; i < 6; ++i) b.push_back({i * 32, 0.02f * static_cast<float>(i)});
    emit("index", "b", kt::index_b_image(b));
    // 330 bytes fit both strides: the markers and offsets decide.
    emit("index", "both-a", kt::index_a_image(index_records(15, 6)));
    std::vector<raw::ScanIndexB> b11;
    for (std::uint32_t i = 0; i < 11; ++i) b11.push_back({i * 16, 0.01f * static_cast<float>(i)});
    emit("index", "both-b", kt::index_b_image(b11));
    emit("index", "empty", std::string(), false);
}

std::string header_sample(const char* instrument) {
    return kt::header_text(std::string(instrument), {{1, "1.0,2.5e-3,,T1"}, {2, "T0"}, {3, " -0.5 , 1.0001,T1"}}) +
           "  $$Acquired Date: 01-Jan-2024\r\n$$ Acquired Time: 10:00:00\r\n$$ User Name: someone\r\n"
           "$$ Sample Description: a: b: c\r\nnot a header line\r\n$$ Cal Function +04: 0,1,T1\n";
}

void header_corpus() {
    emit("header", "synapt", header_sample("SYNAPT G2-S"));
    emit("header", "xevo", header_sample("XEVO-G2XSQTOF#NotSet"));
    emit("header", "bad-type", kt::header_text(std::nullopt, {{1, "1.0,T2"}}));
    emit("header", "bad-number", std::string("$$ Cal Function x: 1,T1\n"));
    emit("header", "latin1", std::string("$$ Instrument: Q-Tof \xB5 \xE9\n$$ Version: 4.1\n"));
}

std::string extern_sample() {
    return kt::extern_text(1200, 7200, 64.0, "ES+") +
           "Function Parameters - Function 1 - TOF MS FUNCTION\r\nStart Mass\t50\r\nEnd Mass\t2000\r\n"
           "ADC Pusher Frequency\t15000\r\n"
           "Function Parameters - Function 2 - TOF MSMS FUNCTION\r\nSet Mass\t445.12\r\nStart Mass\t50\r\n"
           "End Mass\t1200.5\r\nInstrument Configuration:\r\nStart Mass\t1\r\n"
           "Function Parameters - Function 3 - REFERENCE\r\nPusher Cycle Time (us)\t69\r\n";
}

void extern_corpus() {
    emit("extern_inf", "full", extern_sample());
    emit("extern_inf", "minimal", kt::extern_text(1200, 7200, std::nullopt, ""));
    emit("extern_inf", "negative", kt::extern_text(1100.5, 6000, 70.1, "Negative"));
    emit("extern_inf", "no-veff", std::string("Lteff (mm)\t1200\nVeff\tnone\n"));
}

ByteVec sts_sample() {
    std::vector<kt::StsChannel> channels = {
        {"Collision Energy", 3, 0, 1}, {"ETD Fragmentation Mode", 0, 4, 2}, {"  Source Temp  ", 1, 6, 3},
        {"Counter", 2, 8, 4}};
    std::vector<ByteVec> records;
    for (int s = 0; s < 4; ++s) {
        ByteImage r(12);
        r.set_f32(0, 4.0f + static_cast<float>(s)).set_u8(4, static_cast<std::uint8_t>(s)).set_u16(6, 0xFFFF).set_u32(
            8, 4000000000u);
        records.push_back(r.bytes());
    }
    return kt::sts_image(channels, 12, records);
}

void sts_corpus() {
    emit("func_sts", "four-channels", sts_sample());
    emit("func_sts", "no-channels", kt::sts_image({}, 8, {}));
    emit("func_sts", "edge-offset", kt::sts_image({{"Collision Energy", 2, 8, 0}}, 10, {ByteVec(10, 0xFF), ByteVec(5, 1)}));
}

ByteVec chroms_inf_sample(std::uint16_t meta, const std::vector<std::pair<std::uint32_t, std::string>>& records) {
    ByteImage img(raw::chroms::kHeaderSize);
    img.set_u16(4, 85).set_u16(6, meta);
    img.zeros(85 * meta);
    for (const auto& [source, text] : records) {
        std::string field = text.substr(0, raw::chroms::kTextField);
        field.resize(raw::chroms::kTextField, '\0');
        img.u32(source).raw(field);
    }
    return img.bytes();
}

ByteVec chro_dat_sample(int n) {
    ByteImage img(raw::chroms::kHeaderSize);
    for (int i = 0; i < n; ++i) img.f32(0.1f * static_cast<float>(i)).f32(100.0f + static_cast<float>(i));
    return img.bytes();
}

const std::vector<std::pair<std::uint32_t, std::string>> kChannels = {
    {4, std::string("Pump A Pressure\0$CC$,0.1,x,y,z,bar,extra", 41)},
    {1, "Flow$CC$, 2.5 ,a,b,c,%"},
    {1, "Column Temp \x80\xE9"},
};

void chroms_corpus() {
    emit("chroms_inf", "three", chroms_inf_sample(2, kChannels));
    emit("chroms_inf", "none", chroms_inf_sample(2, {}));
    emit("chroms_inf", "bad-scale", chroms_inf_sample(0, {{4, "P$CC$,abc,1,2,3,u"}, {4, "$CC$,1,2,3,4"}}));
    emit("chro_dat", "samples", chro_dat_sample(6));
    emit("chro_dat", "empty", chro_dat_sample(0));
}

void text_corpus() {
    for (const char* s : {"1.5e-3", "  -0.0 ", "+4294967295", "inf", "NaN", "\xC2\xA0value\xE3\x80\x80",
                          "\"quote\\\t\r\n", "\xF0\x9F\x98\x80\xED\xA0\x80\xFF", "123456789012345678901234567890"})
        emit("text", fmt::format("t{}", next_random() % 100000), std::string(s), false);
    emit("text", "double", f64_bytes(0.1) + "\x04", false);
}

// Centroider inputs (fuzz_centroid.cpp): synthetic profile spectra as raw
// samples, one with odd values mixed in, and one on the grid form.
void centroid_corpus() {
    auto raw_samples = [](const kt::SyntheticSpectrum& s, std::uint8_t choices) {
        std::string out(1, static_cast<char>(choices));
        for (std::size_t i = 0; i < s.mz.size(); ++i) {
            out += f64_bytes(s.mz[i]);
            const auto bits = std::bit_cast<std::uint32_t>(s.intensity[i]);
            for (int b = 0; b < 4; ++b) out += static_cast<char>(bits >> (8 * b));
        }
        return out;
    };
    kt::SpectrumPlan plan;
    plan.mz_low = 500;
    plan.mz_high = 505;
    plan.peaks = 4;
    plan.doublets = 1;
    plan.noise = 0.02;
    for (const double ppf : {4.0, 10.0}) {
        plan.samples_per_fwhm = ppf;
        emit("centroid", fmt::format("profile-{}", ppf), raw_samples(kt::make_spectrum(plan, 7), 0));
    }
    std::string odd = raw_samples(kt::make_spectrum(plan, 8), 0x21);
    odd += f64_bytes(std::numeric_limits<double>::quiet_NaN()) + std::string(4, '\x01');
    odd += f64_bytes(502.0) + std::string("\x00\x00\x80\x7f", 4);  // infinite intensity
    odd += f64_bytes(501.0) + std::string("\xff\xff\x7f\x7f", 4);  // the largest float
    emit("centroid", "odd", odd);
    std::string grid = std::string(1, '\x10') + std::string("\x90\x01", 2);
    for (const int count : {1, 3, 9, 20, 31, 20, 9, 14, 25, 14, 5, 1, 0, 2}) {
        grid += '\x01';
        grid += static_cast<char>(count);
        grid += '\x00';
    }
    emit("centroid", "grid", grid);
}

// Packs the files of a run directory written by the run writer.
std::string pack_dir(const fs::path& dir, const std::map<std::string, std::uint8_t>& extra_bits = {}) {
    std::string out;
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(dir)) entries.push_back(e.path());
    std::sort(entries.begin(), entries.end());
    for (const auto& p : entries) {
        const std::string name = p.filename().string();
        std::size_t k = 0;
        while (k < kestrune::fuzz::kFileNames.size() && kestrune::fuzz::kFileNames[k] != name) ++k;
        if (k == kestrune::fuzz::kFileNames.size()) continue;
        std::ifstream in(p, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto bits = extra_bits.count(name) ? extra_bits.at(name) : std::uint8_t{0};
        kestrune::fuzz::pack_file(out, static_cast<std::uint8_t>(k | bits), content);
    }
    return out;
}

void add_chromatograms(const fs::path& dir) {
    const ByteVec inf = chroms_inf_sample(1, kChannels);
    const ByteVec dat = chro_dat_sample(5);
    std::ofstream(dir / "_CHROMS.INF", std::ios::binary).write(reinterpret_cast<const char*>(inf.data()), inf.size());
    std::ofstream(dir / "_CHRO003.DAT", std::ios::binary).write(reinterpret_cast<const char*>(dat.data()), dat.size());
    std::ofstream(dir / "_CHRO004.DAT", std::ios::binary).write(reinterpret_cast<const char*>(dat.data()), 130);
}

void run_corpus() {
    struct Case {
        const char* name;
        const char* instrument;
        kt::IndexLayout layout;
        ByteVec (*scan)(int);
        std::uint32_t width;
    };
    const Case cases[] = {
        {"run-a", "Q-TOF Premier", kt::IndexLayout::A22, scan_a, 6},
        {"run-b", "SYNAPT G2-Si", kt::IndexLayout::B30, scan_b, 8},
        {"run-c", "XEVO-G2XSQTOF#NotSet", kt::IndexLayout::B30, scan_c, 8},
        {"run-d", "Q-TOF", kt::IndexLayout::A22, scan_d, 8},
    };
    for (const auto& c : cases) {
        kt::TempDir dir;
        kt::RunSpec run;
        run.header = kt::header_text(std::string(c.instrument), {{1, "0,1,T1"}, {2, "T0"}});
        run.extern_inf = extern_sample();
        for (int fn = 0; fn < 2; ++fn) {
            kt::RunFunction f;
            f.info = function_info(50, 1200, 0.1f, fn == 1 ? 0x92 : 0x12);
            f.layout = c.layout;
            f.record_width = c.width;
            for (int s = 0; s < 3; ++s) f.scans.push_back(c.scan(s + fn));
            if (fn == 0) f.sts = sts_sample();
            run.functions.push_back(std::move(f));
        }
        kt::write_run(dir.path(), run);
        add_chromatograms(dir.path());
        emit("run", c.name, pack_dir(dir.path()));
        // The export target: the same run behind a byte of options (every
        // layout, centroiding, numpress, lock mass, stored arrays).
        for (const std::uint8_t options : {0x00, 0x81, 0x16, 0xa6, 0x48, 0x25})
            emit("export", fmt::format("{}-{:02x}", c.name, options),
                 std::string(1, static_cast<char>(options)) + pack_dir(dir.path()), false);
        // Lower-case and prefixed names, as copied runs have them.
        emit("run", std::string(c.name) + "-names",
             pack_dir(dir.path(), {{"_FUNCTNS.INF", kestrune::fuzz::kLowerCase},
                                   {"_FUNC001.DAT", kestrune::fuzz::kPrefixed}}),
             false);
    }
    // A function without its data file, and one whose index addresses more
    // bytes than its data file holds.
    kt::TempDir dir;
    kt::RunSpec run;
    run.header = kt::header_text(std::nullopt, {});
    run.extern_inf = kt::extern_text(1200, 7200);
    kt::RunFunction missing;
    missing.info = function_info(100, 900, 0.5f);
    missing.scans = {scan_a(0)};
    missing.write_dat = false;
    kt::RunFunction shortdat;
    shortdat.info = function_info(100, 900, 0.5f);
    shortdat.scans = {scan_a(0), scan_a(1)};
    run.functions = {missing, shortdat};
    kt::write_run(dir.path(), run);
    fs::resize_file(dir / "_FUNC002.DAT", 30);
    emit("run", "degraded", pack_dir(dir.path()), false);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus OUT_DIR\n");
        return 2;
    }
    g_out = argv[1];
    fs::create_directories(g_out);
    function_table_corpus();
    index_corpus();
    header_corpus();
    extern_corpus();
    sts_corpus();
    chroms_corpus();
    decoder_corpus();
    text_corpus();
    run_corpus();
    centroid_corpus();
    return 0;
}
