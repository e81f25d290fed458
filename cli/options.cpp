#include "options.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>
#include <kestrune/text.h>

namespace kestrune::cli {

namespace {
unexpected<Error> parse_error(std::string message) { return fail(Error::parse(std::move(message))); }
}  // namespace

Error usage_error(std::string message) { return Error::invalid_argument(std::move(message)); }

bool is_usage_error(const Error& e) noexcept { return e.cause() == Error::Kind::InvalidArgument; }

std::string error_text(const Error& e) { return e.to_string(); }

int exit_status(const Error& e) noexcept { return is_usage_error(e) ? kExitUsage : kExitFailure; }

std::optional<std::uint64_t> parse_whole(std::string_view text, std::uint64_t min, std::uint64_t max) noexcept {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = std::uint64_t(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    if (v < min || v > max) return std::nullopt;
    return v;
}

std::optional<double> parse_positive(std::string_view text) noexcept {
    const auto v = text::parse_f64(text);
    if (!v || !std::isfinite(*v) || !(*v > 0)) return std::nullopt;
    return v;
}

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
    if (auto r = side(text.substr(0, colon), range.min); !r) return fail(std::move(r.error()));
    if (auto r = side(text.substr(colon + 1), range.max); !r) return fail(std::move(r.error()));
    if (range.min && range.max && *range.min > *range.max)
        return parse_error(fmt::format("--rt-range: start {} is after end {}", text::plain(*range.min),
                                       text::plain(*range.max)));
    return range;
}

}  // namespace kestrune::cli
