#include "run_files.h"

#include <fmt/format.h>

#include "fs.h"
#include "reader/lookup.h"
#include "text.h"

namespace kestrune::cli {

namespace {
template <class T>
Result<T> with_path(Result<T> r, const std::filesystem::path& path) {
    if (r) return r;
    return fail(Error::context(fmt::format("reading {}", path), std::move(r.error())));
}
}  // namespace

std::string channel_file_name(std::size_t index) {
    return fmt::format("_CHRO{:03}.DAT", static_cast<std::uint64_t>(index) + 3);
}

Result<raw::Header> header_from_bytes(std::string_view bytes) {
    const std::string owned =
        text::is_valid_utf8(bytes)
            ? std::string(bytes)
            : raw::chroms::decode_cp1252(Bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return raw::Header::from_str(owned);
}

Result<raw::Header> load_header(const std::filesystem::path& dir) {
    auto path = reader::required_file(dir, "_HEADER.TXT");
    if (!path) return std::unexpected(std::move(path.error()));
    auto bytes = fs::read_file(*path);
    if (!bytes) return fail(Error::context(fmt::format("reading {}", *path), std::move(bytes.error())));
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    return with_path(header_from_bytes(text), *path);
}

InstrumentText split_instrument(std::string_view text) {
    InstrumentText out;
    const std::size_t hash = text.find('#');
    out.model = std::string(text::trim(text.substr(0, hash)));
    if (hash != std::string_view::npos) {
        const std::string_view serial = text::trim(text.substr(hash + 1));
        if (!serial.empty() && text::ascii_upper(serial) != "NOTSET") out.serial_number = std::string(serial);
    }
    return out;
}

Result<raw::FunctionTable> load_function_table(const std::filesystem::path& dir) {
    auto path = reader::required_file(dir, "_FUNCTNS.INF");
    if (!path) return std::unexpected(std::move(path.error()));
    return with_path(raw::FunctionTable::from_path(*path), *path);
}

Result<std::optional<raw::ChromsInf>> load_channels(const std::filesystem::path& dir) {
    auto path = reader::find_file(dir, "_CHROMS.INF", reader::LookupMode::Silent);
    if (!path) return std::unexpected(std::move(path.error()));
    if (!*path) return std::optional<raw::ChromsInf>{};
    auto chroms = with_path(raw::ChromsInf::from_path(**path), **path);
    if (!chroms) return std::unexpected(std::move(chroms.error()));
    return std::optional<raw::ChromsInf>(std::move(*chroms));
}

Result<std::optional<std::vector<raw::chroms::ChromPoint>>> read_channel(const std::filesystem::path& dir,
                                                                          std::size_t index) {
    auto path = reader::find_file(dir, channel_file_name(index), reader::LookupMode::Silent);
    if (!path) return std::unexpected(std::move(path.error()));
    if (!*path) return std::optional<std::vector<raw::chroms::ChromPoint>>{};
    auto points = with_path(raw::chroms::read_chro_dat(**path), **path);
    if (!points) return std::unexpected(std::move(points.error()));
    return std::optional<std::vector<raw::chroms::ChromPoint>>(std::move(*points));
}

}  // namespace kestrune::cli
