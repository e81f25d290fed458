// _extern.inf: instrument and method settings, one section per function.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>

#include "error.h"

namespace kestrune::raw::extern_inf {

enum class Polarity : std::uint8_t { Positive, Negative };

enum class FunctionKind : std::uint8_t {
    TofMs = 0,
    Parent = 1,
    Msms = 2,
    Daughter = 3,
    Reference = 4,
    Other = 5,
};

// Classifies an (ASCII upper-cased) section type text.
FunctionKind classify(std::string_view upper_type) noexcept;
// 2 for Parent, Msms and Daughter; 1 otherwise.
std::uint8_t ms_level(FunctionKind kind) noexcept;

struct ExternFunction {
    std::optional<double> adc_pusher_frequency;
    std::optional<double> set_mass;
    double start_mass = 0.0;
    double end_mass = 0.0;
    std::uint32_t number = 0;
    FunctionKind kind = FunctionKind::Other;
};

struct ExternInf {
    std::optional<double> pusher_interval;
    double lteff = 0.0;
    double veff = 0.0;
    std::map<std::uint32_t, ExternFunction> functions;
    std::optional<Polarity> polarity;

    static Result<ExternInf> from_str(std::string_view text);
    static Result<ExternInf> from_path(const std::filesystem::path& path);

    // MS level of a function: from its section's kind, 1 without a section.
    std::uint8_t ms_level(std::uint32_t function) const noexcept;
};

}  // namespace kestrune::raw::extern_inf

namespace kestrune::raw {
using extern_inf::ExternFunction;
using extern_inf::ExternInf;
using extern_inf::FunctionKind;
using extern_inf::Polarity;
}
