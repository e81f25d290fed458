#include "export/channels.h"

#include <fmt/format.h>

#include "log.h"
#include "text.h"

namespace kestrune::exporting {

namespace {

// A unit as recorded (lower case, blanks removed) and what it is written as.
struct UnitRow {
    std::string_view units;
    const term::Term* type;
    const term::Term* array;
    const term::Term* unit;
    double scale;
    double offset;
};

// Pressures in pascal, temperatures in kelvin, flows in microlitres per
// minute; light (absorbance, luminescence) has a chromatogram type but no
// array or unit of the vocabulary.
constexpr UnitRow kUnits[] = {
    {"pa", &term::kPressureChromatogram, &term::kPressureArray, &term::kUnitPascal, 1, 0},
    {"kpa", &term::kPressureChromatogram, &term::kPressureArray, &term::kUnitPascal, 1e3, 0},
    {"mpa", &term::kPressureChromatogram, &term::kPressureArray, &term::kUnitPascal, 1e6, 0},
    {"bar", &term::kPressureChromatogram, &term::kPressureArray, &term::kUnitPascal, 1e5, 0},
    {"mbar", &term::kPressureChromatogram, &term::kPressureArray, &term::kUnitPascal, 100, 0},
    {"psi", &term::kPressureChromatogram, &term::kPressureArray, &term::kUnitPascal, 6894.757293168361, 0},
    {"psig", &term::kPressureChromatogram, &term::kPressureArray, &term::kUnitPascal, 6894.757293168361, 0},
    {"c", &term::kTemperatureChromatogram, &term::kTemperatureArray, &term::kUnitKelvin, 1, 273.15},
    {"\xC2\xB0" "c", &term::kTemperatureChromatogram, &term::kTemperatureArray, &term::kUnitKelvin, 1, 273.15},
    {"degc", &term::kTemperatureChromatogram, &term::kTemperatureArray, &term::kUnitKelvin, 1, 273.15},
    {"deg.c", &term::kTemperatureChromatogram, &term::kTemperatureArray, &term::kUnitKelvin, 1, 273.15},
    {"k", &term::kTemperatureChromatogram, &term::kTemperatureArray, &term::kUnitKelvin, 1, 0},
    {"ul/min", &term::kFlowRateChromatogram, &term::kFlowRateArray, &term::kUnitMicrolitresPerMinute, 1, 0},
    {"\xC2\xB5l/min", &term::kFlowRateChromatogram, &term::kFlowRateArray, &term::kUnitMicrolitresPerMinute, 1, 0},
    {"\xCE\xBCl/min", &term::kFlowRateChromatogram, &term::kFlowRateArray, &term::kUnitMicrolitresPerMinute, 1, 0},
    {"ml/min", &term::kFlowRateChromatogram, &term::kFlowRateArray, &term::kUnitMicrolitresPerMinute, 1e3, 0},
    {"nl/min", &term::kFlowRateChromatogram, &term::kFlowRateArray, &term::kUnitMicrolitresPerMinute, 1e-3, 0},
    {"au", &term::kEmrChromatogram, nullptr, nullptr, 1, 0},
    {"mau", &term::kEmrChromatogram, nullptr, nullptr, 1, 0},
    {"lu", &term::kEmrChromatogram, nullptr, nullptr, 1, 0},
    {"eu", &term::kEmrChromatogram, nullptr, nullptr, 1, 0},
};

// A unit text compared with case and blanks ignored.
std::string unit_key(std::string_view units) {
    std::string out = text::ascii_lower(text::trim(units));
    std::erase(out, ' ');
    return out;
}

}  // namespace

ChannelKind channel_kind(std::string_view units) {
    const std::string key = unit_key(units);
    ChannelKind k;
    for (const UnitRow& row : kUnits) {
        if (row.units != key) continue;
        k.type = *row.type;
        if (row.array) k.value_array = *row.array;
        if (row.unit) k.unit = *row.unit;
        k.scale = row.scale;
        k.offset = row.offset;
        k.converted = row.scale != 1 || row.offset != 0;
        break;
    }
    return k;
}

bool is_pressure_channel(std::string_view name, std::string_view units) {
    const auto type = channel_kind(units).type;
    return (type && type->accession == term::kPressureChromatogram.accession) ||
           text::ascii_lower(name).find("pressure") != std::string::npos;
}

Result<std::vector<ChannelSamples>> channels_with_samples(const reader::Reader& r) {
    std::vector<ChannelSamples> out;
    auto chroms = r.channels();
    if (!chroms) return fail(std::move(chroms.error()));
    if (!*chroms) return out;
    for (const auto& ch : (*chroms)->channels) {
        auto points = r.read_channel(ch.index);
        if (!points) return fail(std::move(points.error()));
        if (!*points) {
            log_warn(kTarget, "channel {} ({}): {} missing; channel left out", ch.index, text::quoted(ch.name),
                     raw::chroms::channel_file_name(ch.index));
            continue;
        }
        out.push_back({ch, std::move(**points)});
    }
    return out;
}

}  // namespace kestrune::exporting
