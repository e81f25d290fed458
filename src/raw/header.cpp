#include "raw/header.h"
#include "raw/chroms.h"

#include <fmt/format.h>

#include "fs.h"
#include "text.h"

namespace kestrune::raw::header {

namespace {

constexpr std::string_view kCalPrefix = "Cal Function ";

// The field a plain metadata key fills, or nullptr for any other key.
std::optional<std::string>* text_field(Header& h, std::string_view key) noexcept {
    if (key == "Version") return &h.version;
    if (key == "Acquired Name") return &h.acquired_name;
    if (key == "Acquired Date") return &h.acquired_date;
    if (key == "Acquired Time") return &h.acquired_time;
    if (key == "Instrument") return &h.instrument;
    if (key == "User Name") return &h.operator_;
    if (key == "Sample Description") return &h.sample_description;
    return nullptr;
}

// Key "Cal Function <n>": the function number <n>.
Result<std::uint32_t> cal_function_number(std::string_view key) {
    std::string_view rest = key;
    while (rest.starts_with(kCalPrefix)) rest.remove_prefix(kCalPrefix.size());
    const auto number = text::parse_u32(text::trim(rest));
    if (!number) return parse_error("_HEADER.TXT: invalid function index in key " + text::quoted(key));
    return *number;
}

}  // namespace

std::string_view cal_type_name(CalType t) noexcept { return t == CalType::T1 ? "T1" : "T0"; }

Result<FunctionCal> parse_cal_value(std::string_view value) {
    // The type is the piece after the last comma; it is checked before any
    // coefficient so that a line without a type reports that first.
    const std::size_t last_comma = value.rfind(',');
    const std::string_view type_piece =
        text::trim(last_comma == std::string_view::npos ? value : value.substr(last_comma + 1));
    FunctionCal cal;
    if (type_piece == "T0") {
        cal.cal_type = CalType::T0;
    } else if (type_piece == "T1") {
        cal.cal_type = CalType::T1;
    } else {
        return parse_error("_HEADER.TXT: unknown calibration type " + text::quoted(type_piece));
    }
    if (last_comma == std::string_view::npos) return cal;

    std::string_view rest = value.substr(0, last_comma + 1);  // every piece ends in a comma here
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view piece = rest.substr(0, comma);
        rest.remove_prefix(comma + 1);
        const std::string_view trimmed = text::trim(piece);
        if (trimmed.empty()) continue;
        const auto coefficient = text::parse_f64(trimmed);
        if (!coefficient) return parse_error("_HEADER.TXT: invalid coefficient " + text::quoted(piece));
        cal.coefficients.push_back(*coefficient);
    }
    return cal;
}

Result<Header> Header::from_str(std::string_view text) {
    Header header;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text::trim(text.substr(pos, end - pos));  // CR of a CRLF goes here
        pos = end + 1;

        if (!line.starts_with("$$")) continue;
        const std::string_view body = text::trim_start(line.substr(2));
        const std::size_t sep = body.find(": ");
        if (sep == std::string_view::npos) continue;
        const std::string_view key = text::trim(body.substr(0, sep));
        const std::string_view value = text::trim(body.substr(sep + 2));

        if (auto* field = text_field(header, key)) {
            *field = std::string(value);
        } else if (key.starts_with(kCalPrefix)) {
            auto number = cal_function_number(key);
            if (!number) return fail(std::move(number.error()));
            auto cal = parse_cal_value(value);
            if (!cal) return fail(std::move(cal.error()));
            header.calibration.insert_or_assign(*number, std::move(*cal));
        }
    }
    return header;
}

Result<Header> Header::from_path(const std::filesystem::path& path) {
    auto bytes = fs::read_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    return from_str(text::lossy_utf8(*bytes));
}

Result<Header> Header::from_bytes_as_written(std::string_view bytes) {
    if (text::is_valid_utf8(bytes)) return from_str(bytes);
    return from_str(chroms::decode_cp1252(Bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
}

InstrumentText split_instrument(std::string_view text) {
    InstrumentText out;
    const std::size_t hash = text.find('#');
    out.model = std::string(text::trim(text.substr(0, hash)));
    if (hash != std::string_view::npos) {
        const std::string_view serial = text::trim(text.substr(hash + 1));
        if (!serial.empty() && text::ascii_upper(serial) != "NOTSET") out.serial_number = std::string(serial);
    }
    return out;
}

}  // namespace kestrune::raw::header
