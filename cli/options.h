// Parsing of the selection options of the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace kestrune::cli {

// "1,3,7": function numbers separated by commas (blanks around them
// allowed), each at least 1; duplicates are dropped, the order is kept.
Result<std::vector<std::uint32_t>> parse_function_list(std::string_view text);

// "MIN:MAX" in minutes; either side may be empty for an open end.
struct RtRange {
    std::optional<double> min;
    std::optional<double> max;
    bool contains(double rt) const noexcept {
        return (!min || rt >= *min) && (!max || rt <= *max);
    }
};
Result<RtRange> parse_rt_range(std::string_view text);

}  // namespace kestrune::cli
