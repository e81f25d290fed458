// An opened run directory: its run-wide files and one entry per readable
// acquisition function. Immutable after open; scans are decoded on demand.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.h"
#include "raw/data.h"
#include "raw/extern_inf.h"
#include "raw/func_sts.h"
#include "raw/functions_inf.h"
#include "raw/header.h"
#include "raw/index.h"

namespace kestrune::reader {

enum class Encoding : std::uint8_t { A = 0, B = 1, C = 2, D = 3 };

// "A", "B", "C" or "D".
std::string_view encoding_name(Encoding e) noexcept;

struct FunctionEntry {
    std::uint32_t number = 0;
    raw::functions_inf::FunctionInfo info;
    raw::ScanIndex idx;
    std::filesystem::path dat_path;
    std::uint64_t dat_size = 0;
    raw::FunctionCal cal;
    std::optional<raw::FuncSts> sts;
    Encoding encoding = Encoding::A;
};

struct DecodedSpectrum {
    std::optional<double> collision_energy;
    std::optional<double> etd_fragmentation_mode;
    std::variant<raw::data::Spectrum, raw::data::ImsSpectrum> data;
    std::uint64_t scan = 0;
    std::uint32_t function = 0;
    float rt_min = 0;
};

class Reader {
public:
    static Result<Reader> open(const std::filesystem::path& dir);

    Result<DecodedSpectrum> decode_scan(std::uint32_t function, std::uint64_t scan) const;

    const raw::ExternInf& extern_inf() const noexcept { return extern_inf_; }
    const std::filesystem::path& dir() const noexcept { return dir_; }
    const std::string& name() const noexcept { return name_; }
    const std::vector<FunctionEntry>& functions() const noexcept { return functions_; }
    const raw::Header& header() const noexcept { return header_; }

    // The first entry with that function number, or nullptr.
    const FunctionEntry* function(std::uint32_t number) const noexcept;

private:
    raw::ExternInf extern_inf_;
    std::filesystem::path dir_;
    std::string name_;
    std::vector<FunctionEntry> functions_;
    raw::Header header_;
};

// Flight time (us) of an ion of m/z 1 from the effective flight length (mm)
// and voltage (V), in the fixed order of operations.
double tof_constant(double lteff, double veff) noexcept;

}  // namespace kestrune::reader
