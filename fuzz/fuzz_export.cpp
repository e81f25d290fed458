// The export path itself: the input's first byte chooses the options
// (layout, representation, compression, numpress, centroiding, lock mass,
// threads), the rest is a packed run (run_image.h), unpacked into a
// temporary run directory and exported to memory through the public API.
// A successful export must be a whole indexed mzML file with as many
// spectra as it says.

#include <filesystem>
#include <string>
#include <system_error>

#include "common.h"
#include "kestrune/kestrune.h"
#include "run_dir.h"

using namespace kestrune;
namespace stdfs = std::filesystem;

namespace {

class MemoryStream final : public OutputStream {
public:
    Result<void> write(std::string_view bytes) override {
        text.append(bytes);
        return {};
    }
    std::string text;
};


ExportOptions options_of(std::uint8_t b) {
    ExportOptions o;
    o.ims_layout = static_cast<ImsLayout>(b % 3);
    o.representation = static_cast<RepresentationChoice>((b >> 2) % 3);
    o.numpress = static_cast<Numpress>((b >> 4) & 3);
    o.compression_level = (b & 0x40) ? 0 : 1;
    o.compress = (b & 0x08) == 0;
    o.centroid = (b & 0x80) != 0;
    o.allow_incomplete = (b & 0x02) != 0;
    o.keep_lockmass = (b & 0x01) != 0;
    if (b & 0x20) {
        o.lockmass = 556.2771;
        o.lockmass_optional = true;
    }
    o.threads = 1 + (b & 1);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const stdfs::path base = fuzz::fresh_dir("export");
    const stdfs::path dir = base / "run.raw";
    fuzz::write_run(dir, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    if (auto run = Run::open(dir); fuzz::touch(run)) {
        MemoryStream out;
        const ExportOptions o = options_of(data[0]);
        if (auto done = export_mzml(*run, out, o); fuzz::touch(done)) {
            if (!out.text.ends_with("</indexedmzML>\n")) fuzz::fault("export without its end");
            std::size_t spectra = 0;
            for (std::size_t at = 0; (at = out.text.find("<spectrum ", at)) != std::string::npos; ++at) ++spectra;
            if (spectra != done->spectra) fuzz::fault("spectra counted", std::to_string(spectra));
            if (done->bytes != out.text.size()) fuzz::fault("bytes counted");
        }
    }
    std::error_code ec;
    stdfs::remove_all(base, ec);
    if (ec) fuzz::fault("cannot remove the run directory");
    return 0;
}
