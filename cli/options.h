// Parsing of the command line's values, exit statuses and errors of use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kestrune/error.h>
#include <kestrune/export.h>

namespace kestrune::cli {

// Shorthand for returning an error from a function returning Result<T>.
inline unexpected<Error> fail(Error e) { return unexpected<Error>(std::move(e)); }

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // a run could not be read or an output not written
inline constexpr int kExitUsage = 2;    // unknown option, bad value, selection that matches nothing

// An error in how the program was called, found only once the run is open
// (a function, scan or channel it does not have, a selection that matches
// nothing): an invalid argument, exit status 2.
Error usage_error(std::string message);
bool is_usage_error(const Error& e) noexcept;
// The display text of an error.
std::string error_text(const Error& e);
// The exit status an error ends the program with, from its kind.
int exit_status(const Error& e) noexcept;

// A whole number in [min, max]: an optional "+" then decimal digits
// (no other base, sign or blank); nothing otherwise.
std::optional<std::uint64_t> parse_whole(std::string_view text, std::uint64_t min, std::uint64_t max) noexcept;
// A finite number above zero; nothing otherwise.
std::optional<double> parse_positive(std::string_view text) noexcept;

// "1,3,7": function numbers separated by commas (blanks around them
// allowed), each at least 1; duplicates are dropped, the order is kept.
Result<std::vector<std::uint32_t>> parse_function_list(std::string_view text);

// "MIN:MAX" in minutes; either side may be empty for an open end.
using kestrune::RtRange;
Result<RtRange> parse_rt_range(std::string_view text);

}  // namespace kestrune::cli
