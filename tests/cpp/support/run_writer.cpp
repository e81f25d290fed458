#include "support/run_writer.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

#include "reader/lookup.h"
#include "support/temp_dir.h"

namespace kestrune::testing {

namespace {

void write_bytes(const std::filesystem::path& p, const ByteVec& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

}  // namespace

ByteVec function_record(const raw::functions_inf::FunctionInfo& info) {
    ByteImage rec(raw::functions_inf::kRecordSize);
    rec.set_u8(0, info.function_type)
        .set_u8(1, info.scan_subtype)
        .set_f32(2, info.cycle_time_s)
        .set_u16(16, info.tof_depth)
        .set_f32(28, info.interscan_delay_s)
        .set_f32(32, info.scan_time_s)
        .set_f32(160, info.mz_low)
        .set_f32(288, info.mz_high);
    return rec.bytes();
}

ByteVec index_a_image(const std::vector<raw::ScanIndexA>& records) {
    ByteImage img;
    for (const auto& r : records) {
        img.u32(r.offset).u32((r.peak_count & 0xFFFFFF) | (std::uint32_t{raw::index::kMarkerA} << 24)).zeros(4);
        img.f32(r.rt_min).u16(r.aux_word).zeros(4);
    }
    return img.bytes();
}

ByteVec index_b_image(const std::vector<raw::ScanIndexB>& records) {
    ByteImage img;
    for (const auto& r : records) img.zeros(12).f32(r.rt_min).zeros(6).u32(r.offset).zeros(4);
    return img.bytes();
}

ByteVec record_a(std::uint16_t intensity, std::uint8_t exponent, std::uint32_t mantissa24) {
    return ByteImage()
        .u16(intensity)
        .u8(static_cast<std::uint8_t>(exponent << 4))
        .u8(static_cast<std::uint8_t>(mantissa24))
        .u8(static_cast<std::uint8_t>(mantissa24 >> 8))
        .u8(static_cast<std::uint8_t>(mantissa24 >> 16))
        .bytes();
}

ByteVec record_b(std::uint16_t intensity, std::uint16_t drift, std::uint16_t position) {
    return ByteImage().u16(0).u16(intensity).u16(drift).u16(position).bytes();
}

ByteVec record_c(std::uint16_t intensity, std::uint16_t fraction, std::uint16_t position) {
    return ByteImage().u16(0).u16(intensity).u16(fraction).u16(position).bytes();
}

ByteVec record_d(std::uint32_t intensity, std::uint32_t position_word) {
    return ByteImage().u32(intensity).u32(position_word).bytes();
}

ByteVec sts_image(const std::vector<StsChannel>& channels, std::uint16_t record_size,
                  const std::vector<ByteVec>& records) {
    ByteImage img;
    const auto n = static_cast<std::uint16_t>(channels.size());
    img.u16(static_cast<std::uint16_t>(32 + 48 * n)).u16(0).u16(record_size).u16(n).zeros(24);
    for (const auto& c : channels) {
        img.u16(c.tag).u16(c.value_type).u16(c.offset);
        std::string name = c.name.substr(0, 42);
        name.resize(42, '\0');
        img.raw(name);
    }
    for (const auto& r : records) img.raw(r);
    return img.bytes();
}

ByteVec sts_float_record(std::uint16_t size, std::uint16_t offset, float value) {
    ByteImage rec(size);
    rec.set_f32(offset, value);
    return rec.bytes();
}

std::string header_text(std::optional<std::string> instrument,
                        const std::vector<std::pair<std::uint32_t, std::string>>& cal_lines) {
    std::string text = "$$ Version: 01.00\r\n$$ Acquired Name: synthetic\r\n";
    if (instrument) text += fmt::format("$$ Instrument: {}\r\n", *instrument);
    for (const auto& [n, value] : cal_lines) text += fmt::format("$$ Cal Function {}: {}\r\n", n, value);
    return text;
}

std::string extern_text(double lteff, double veff, std::optional<double> pusher_interval,
                        std::string_view polarity) {
    std::string text = "Instrument Parameters:\r\n";
    text += fmt::format("Lteff\t{}\r\nVeff\t{}\r\n", lteff, veff);
    if (pusher_interval) text += fmt::format("Pusher Interval\t{}\r\n", *pusher_interval);
    if (!polarity.empty()) text += fmt::format("Polarity\t{}\r\n", polarity);
    return text;
}

void write_run(const std::filesystem::path& dir, const RunSpec& spec) {
    write_bytes(dir / "_HEADER.TXT", ByteVec(spec.header.begin(), spec.header.end()));
    write_bytes(dir / "_extern.inf", ByteVec(spec.extern_inf.begin(), spec.extern_inf.end()));
    ByteVec table;
    for (std::size_t i = 0; i < spec.functions.size(); ++i) {
        const RunFunction& f = spec.functions[i];
        const ByteVec rec = function_record(f.info);
        table.insert(table.end(), rec.begin(), rec.end());

        ByteVec dat;
        std::vector<raw::ScanIndexA> a;
        std::vector<raw::ScanIndexB> b;
        for (std::size_t s = 0; s < f.scans.size(); ++s) {
            const auto offset = static_cast<std::uint32_t>(dat.size());
            const float rt = s < f.rt_min.size() ? f.rt_min[s] : 0.01f * static_cast<float>(s);
            a.push_back({offset, static_cast<std::uint32_t>(f.scans[s].size() / f.record_width), rt, 0});
            b.push_back({offset, rt});
            dat.insert(dat.end(), f.scans[s].begin(), f.scans[s].end());
        }
        const std::uint32_t n = static_cast<std::uint32_t>(i + 1);
        if (f.write_idx)
            write_bytes(dir / reader::function_file_name(n, ".IDX"),
                        f.layout == IndexLayout::A22 ? index_a_image(a) : index_b_image(b));
        if (f.write_dat) write_bytes(dir / reader::function_file_name(n, ".DAT"), dat);
        if (f.sts) write_bytes(dir / reader::function_file_name(n, ".STS"), *f.sts);
    }
    write_bytes(dir / "_FUNCTNS.INF", table);
}

}  // namespace kestrune::testing
