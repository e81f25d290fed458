#include "export/identity.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include <sys/stat.h>

#include <fmt/format.h>

#include "codec/sha1.h"
#include "mzml/writer.h"
#include "text.h"

namespace kestrune::exporting {

namespace {

std::string_view name_of(Numpress n) {
    constexpr std::string_view names[] = {"none", "linear", "pic", "slof"};
    return names[static_cast<std::size_t>(n)];
}

std::string_view name_of(RepresentationChoice r) {
    constexpr std::string_view names[] = {"auto", "centroid", "profile"};
    return names[static_cast<std::size_t>(r)];
}

std::string_view name_of(ImsLayout l) {
    constexpr std::string_view names[] = {"combined", "per-bin", "summed"};
    return names[static_cast<std::size_t>(l)];
}

template <class T>
std::string optional_text(const std::optional<T>& v) {
    return v ? fmt::format("{}", *v) : std::string("-");
}

std::string optional_number(const std::optional<double>& v) { return v ? text::plain(*v) : std::string("-"); }

std::string centroiding(const ExportOptions& o) {
    if (!o.centroid) return "0";
    const CentroidOptions c = o.centroiding.validated();
    return fmt::format("1,{},{},{}", text::plain(c.ion_intensity), text::plain(c.valley_significance),
                       text::plain(c.min_peak_ions));
}

}  // namespace

std::string options_fingerprint(const ExportOptions& o) {
    std::string functions = "-";
    if (o.functions) {
        functions.clear();
        // In the order given, each once (a repeated number selects nothing more).
        std::vector<std::uint32_t> seen;
        for (std::uint32_t n : *o.functions) {
            if (std::find(seen.begin(), seen.end(), n) != seen.end()) continue;
            seen.push_back(n);
            fmt::format_to(std::back_inserter(functions), "{}{}", functions.empty() ? "" : ",", n);
        }
    }
    const std::string rt = o.rt_range ? optional_number(o.rt_range->min) + ":" + optional_number(o.rt_range->max) : "-";
    return fmt::format(
        "compress={};level={};numpress={};ppm={};functions={};rt={};ms_level={};keep_lockmass={};lockmass={};"
        "tolerance={};lockmass_optional={};representation={};ims_layout={};allow_incomplete={};centroid={}",
        int(o.compress), o.compression_level, name_of(o.numpress), text::plain(o.numpress_ppm), functions, rt,
        optional_text(o.ms_level), int(o.keep_lockmass), optional_number(o.lockmass), text::plain(o.lockmass_tolerance),
        int(o.lockmass_optional), name_of(o.representation), name_of(o.ims_layout), int(o.allow_incomplete),
        centroiding(o));
}

Result<std::string> source_identity(const std::filesystem::path& run_dir) {
    std::vector<std::string> lines;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(run_dir, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::stat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        lines.push_back(fmt::format("{}\t{}\t{}.{:09}\n", it->path().filename().native(), st.st_size,
                                    st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    }
    if (ec) return fail(Error::context(fmt::format("listing {}", run_dir), Error::io(ec)));
    std::sort(lines.begin(), lines.end());
    codec::Sha1 sha;
    for (const std::string& line : lines) sha.update(line);
    return sha.hex_digest();
}

}  // namespace kestrune::exporting

namespace kestrune {

namespace {

// The value of the user parameter `name` in the head of an mzML file.
std::optional<std::string> recorded(std::string_view head, std::string_view name) {
    const std::string key = fmt::format("<userParam name=\"{}\" value=\"", name);
    const std::size_t at = head.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t start = at + key.size();
    const std::size_t end = head.find('"', start);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(head.substr(start, end - start));
}

}  // namespace

Result<bool> export_up_to_date(const std::filesystem::path& run_dir, const std::filesystem::path& output,
                               const ExportOptions& options) {
    std::ifstream in(output, std::ios::binary);
    if (!in) return false;
    std::string head(64 * 1024, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(std::size_t(in.gcount()));
    // Complete: the file ends as indexed mzML ends.
    std::string tail(32, '\0');
    in.clear();
    in.seekg(-std::streamoff(tail.size()), std::ios::end);
    in.read(tail.data(), std::streamsize(tail.size()));
    tail.resize(std::size_t(in.gcount()));
    if (tail.find("</indexedmzML>") == std::string::npos) return false;
    auto identity = exporting::source_identity(run_dir);
    if (!identity) return fail(std::move(identity.error()));
    return recorded(head, exporting::kOptionsParam) == mzml::xml_escape(exporting::options_fingerprint(options)) &&
           recorded(head, exporting::kSourceParam) == *identity;
}

}  // namespace kestrune
