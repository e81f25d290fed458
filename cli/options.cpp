#include "options.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "text.h"

namespace kestrune::cli {

namespace {
constexpr std::string_view kUsageMark = "usage error";
}

Error usage_error(std::string message) {
    return Error::context(std::string(kUsageMark), Error::parse(std::move(message)));
}

bool is_usage_error(const Error& e) noexcept {
    for (const Error* cur = &e; cur; cur = cur->inner())
        if (cur->kind() == Error::Kind::Context && cur->text() == kUsageMark) return true;
    return false;
}

std::string error_text(const Error& e) {
    std::string out;
    for (const Error* cur = &e; cur; cur = cur->inner()) {
        if (cur->kind() != Error::Kind::Context) return out + cur->to_string();
        if (cur->text() == kUsageMark && cur->inner()) return out + cur->inner()->text();
        out += cur->text();
        out += ": ";
    }
    return out;
}

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
    if (auto r = side(text.substr(0, colon), range.min); !r) return std::unexpected(std::move(r.error()));
    if (auto r = side(text.substr(colon + 1), range.max); !r) return std::unexpected(std::move(r.error()));
    if (range.min && range.max && *range.min > *range.max)
        return parse_error(fmt::format("--rt-range: start {} is after end {}", text::plain(*range.min),
                                       text::plain(*range.max)));
    return range;
}

}  // namespace kestrune::cli
