// A whole run: the input is unpacked (run_image.h) into a fresh temporary
// run directory, which is opened with Reader::open; then every scan of every
// function is decoded (bounded count) and the chromatogram files are read,
// as the extension module does. The directory is removed afterwards.

#include <filesystem>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "common.h"
#include "raw/chroms.h"
#include "reader/lookup.h"
#include "reader/reader.h"
#include "run_dir.h"

using namespace kestrune;
namespace stdfs = std::filesystem;

namespace {

constexpr std::size_t kMaxScans = 256;      // decoded scans per input
constexpr std::size_t kMaxChannels = 8;     // chromatogram channels read per input

void decode_all(const reader::Reader& r) {
    std::size_t budget = kMaxScans;
    for (const auto& entry : r.functions()) {
        if (r.function(entry.number) == nullptr) fuzz::fault("entry not found by its number");
        if (static_cast<unsigned>(entry.encoding) > 3) fuzz::fault("encoding");
        if ((entry.encoding == reader::Encoding::B || entry.encoding == reader::Encoding::C) !=
            entry.idx.is_variant_b())
            fuzz::fault("encoding does not match the index variant");
        const std::size_t n = entry.idx.size();
        for (std::size_t scan = 0; scan < n && budget > 0; ++scan, --budget) {
            const auto d = r.decode_scan(entry.number, scan);
            if (!fuzz::touch(d)) continue;
            if (d->index != scan || d->function != entry.number) fuzz::fault("decoded scan identity");
            if (d->ion_mobility != (entry.encoding == reader::Encoding::B)) fuzz::fault("spectrum kind");
            if (d->intensity.size() != d->mz.size()) fuzz::fault("arrays differ in length");
            fuzz::touch(d->rt_min);
            if (d->collision_energy) fuzz::touch(*d->collision_energy);
            if (d->etd_fragmentation_mode) fuzz::touch(*d->etd_fragmentation_mode);
        }
        const auto past = r.decode_scan(entry.number, n);
        if (past) fuzz::fault("scan past the index decoded");
        fuzz::touch(past.error());
    }
    const auto none = r.decode_scan(0, 0);
    if (none) fuzz::fault("function 0 decoded");
    fuzz::touch(none.error());
    fuzz::touch(reader::tof_constant(r.extern_inf().lteff, r.extern_inf().veff));
}

void read_chromatograms(const stdfs::path& dir) {
    const auto inf_path = reader::find_file(dir, "_CHROMS.INF", reader::LookupMode::Silent);
    if (!fuzz::touch(inf_path) || !*inf_path) return;
    const auto inf = raw::ChromsInf::from_path(**inf_path);
    if (!fuzz::touch(inf)) return;
    for (std::size_t i = 0; i < inf->channels.size() && i < kMaxChannels; ++i) {
        const auto dat = reader::find_file(dir, fmt::format("_CHRO{:03}.DAT", i + 3), reader::LookupMode::Silent);
        if (!fuzz::touch(dat) || !*dat) continue;
        const auto points = raw::chroms::read_chro_dat(**dat);
        if (fuzz::touch(points))
            for (const auto& p : *points) fuzz::touch(p.value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::log_everything();
    const stdfs::path base = fuzz::fresh_dir("run");
    const stdfs::path dir = base / "run.raw";
    fuzz::write_run(dir, std::string_view(reinterpret_cast<const char*>(data), size));

    if (auto r = reader::Reader::open(dir); fuzz::touch(r)) {
        if (r->name() != "run.raw") fuzz::fault("run name", r->name());
        decode_all(*r);
    }
    read_chromatograms(dir);

    std::error_code ec;
    stdfs::remove_all(base, ec);
    if (ec) fuzz::fault("cannot remove the run directory");
    return 0;
}
