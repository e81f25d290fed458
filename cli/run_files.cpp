#include "run_files.h"

#include <fmt/format.h>

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
