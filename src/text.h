// Text helpers shared by every parser, message and representation: the
// public ones (kestrune/text.h) and those only the library uses.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "kestrune/text.h"

namespace kestrune::text {

// Appends the UTF-8 form of one code point (a scalar value up to U+10FFFF).
void append_utf8(std::string& out, char32_t code_point);

std::string lossy_utf8(std::span<const std::uint8_t> bytes);
bool is_valid_utf8(std::string_view bytes) noexcept;

std::string_view trim_start(std::string_view utf8) noexcept;
std::string_view trim_end(std::string_view utf8) noexcept;
// Length in bytes of the White_Space character starting text, 0 if none.
std::size_t white_space_at(std::string_view utf8) noexcept;

// A file URI of an absolute path, bytes outside the unreserved set and "/"
// percent-encoded.
std::string file_uri(const std::filesystem::path& absolute);

}  // namespace kestrune::text

// {} of a path in messages: its lossy text.
template <>
struct fmt::formatter<std::filesystem::path> : fmt::formatter<std::string_view> {
    auto format(const std::filesystem::path& p, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(kestrune::text::path_text(p), ctx);
    }
};
