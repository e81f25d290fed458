#include "options.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "text.h"

namespace kestrune::cli {

Result<std::vector<std::uint32_t>> parse_function_list(std::string_view raw_text) {
    const std::string owned = text::lossy_utf8(raw_text);
    const std::string_view text = owned;
    std::vector<std::uint32_t> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view piece =
            text::trim(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        const auto n = text::parse_u32(piece);
        if (!n || *n == 0)
            return parse_error(fmt::format("--functions: {} is not a function number (1, 2, ...)", text::quoted(piece)));
        if (std::find(out.begin(), out.end(), *n) == out.end()) out.push_back(*n);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return out;
}

Result<RtRange> parse_rt_range(std::string_view raw_text) {
    const std::string owned = text::lossy_utf8(raw_text);
    const std::string_view text = owned;
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return parse_error(fmt::format("--rt-range: {} is not of the form MIN:MAX", text::quoted(text)));
    RtRange range;
    const auto side = [&](std::string_view piece, std::optional<double>& slot) -> Result<void> {
        piece = text::trim(piece);
        if (piece.empty()) return {};
        const auto v = text::parse_f64(piece);
        if (!v || std::isnan(*v))
            return parse_error(fmt::format("--rt-range: {} is not a number of minutes", text::quoted(piece)));
        slot = *v;
        return {};
    };
    if (auto r = side(text.substr(0, colon), range.min); !r) return std::unexpected(std::move(r.error()));
    if (auto r = side(text.substr(colon + 1), range.max); !r) return std::unexpected(std::move(r.error()));
    if (range.min && range.max && *range.min > *range.max)
        return parse_error(fmt::format("--rt-range: start {} is after end {}", text::plain(*range.min),
                                       text::plain(*range.max)));
    return range;
}

}  // namespace kestrune::cli
