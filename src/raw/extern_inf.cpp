#include "raw/extern_inf.h"

#include <string>
#include <vector>

#include "fs.h"
#include "log.h"
#include "text.h"

namespace kestrune::raw::extern_inf {

namespace {

constexpr std::string_view kTarget = "kestrune::raw::extern_inf";
constexpr std::string_view kSectionPrefix = "Function Parameters - Function ";  // 31 bytes

// Words of a line separated by runs of white space.
std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size()) {
            const std::size_t ws = text::white_space_at(line.substr(i));
            if (ws == 0) break;
            i += ws;
        }
        const std::size_t start = i;
        while (i < line.size() && text::white_space_at(line.substr(i)) == 0) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The setting name of a line: every word but the last joined by single
// spaces, cut before a parenthesised unit, trailing blanks removed.
std::string setting_key(const std::vector<std::string_view>& words) {
    std::string key;
    for (std::size_t k = 0; k + 1 < words.size(); ++k) {
        if (k > 0) key += ' ';
        key += words[k];
    }
    if (const std::size_t paren = key.find('('); paren != std::string::npos) key.resize(paren);
    key.resize(text::trim_end(key).size());
    return key;
}

std::optional<Polarity> polarity_of(std::string_view value) {
    const std::string upper = text::ascii_upper(value);
    if (upper.size() < 3) return std::nullopt;
    const std::string_view head = std::string_view(upper).substr(0, 3);
    if (head == "ES+" || head == "POS") return Polarity::Positive;
    if (head == "ES-" || head == "NEG") return Polarity::Negative;
    return std::nullopt;
}

void set_first(std::optional<double>& slot, std::string_view value) {
    if (slot) return;
    slot = text::parse_f64(value);
}

}  // namespace

FunctionKind classify(std::string_view upper_type) noexcept {
    // Order matters: "TOF MSMS" is MS/MS, a reference function may say "TOF MS" too.
    if (upper_type.find("REFERENCE") != std::string_view::npos) return FunctionKind::Reference;
    if (upper_type.find("DAUGHTER") != std::string_view::npos) return FunctionKind::Daughter;
    if (upper_type.find("MSMS") != std::string_view::npos) return FunctionKind::Msms;
    if (upper_type.find("PARENT") != std::string_view::npos) return FunctionKind::Parent;
    if (upper_type.find("TOF MS") != std::string_view::npos) return FunctionKind::TofMs;
    return FunctionKind::Other;
}

std::uint8_t ms_level(FunctionKind kind) noexcept {
    switch (kind) {
        case FunctionKind::Parent:
        case FunctionKind::Msms:
        case FunctionKind::Daughter:
            return 2;
        default:
            return 1;
    }
}

std::uint8_t ExternInf::ms_level(std::uint32_t function) const noexcept {
    const auto it = functions.find(function);
    return it == functions.end() ? 1 : extern_inf::ms_level(it->second.kind);
}

Result<ExternInf> ExternInf::from_str(std::string_view text) {
    ExternInf inf;
    std::optional<double> lteff, veff, pusher_interval, pusher_cycle_time;
    std::uint32_t current = 0;
    bool in_section = false;

    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text::trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;

        if (line.starts_with(kSectionPrefix)) {
            const std::string_view after = line.substr(kSectionPrefix.size());
            const std::size_t dash = after.find('-');
            const std::string_view number_part = after.substr(0, dash);
            const std::string_view type_part =
                dash == std::string_view::npos ? std::string_view() : after.substr(dash + 1);
            const auto number = text::parse_u32(text::trim(number_part));
            if (!number) continue;  // not a title after all; the open section stays open
            const FunctionKind kind = classify(text::ascii_upper(text::trim(type_part)));
            ExternFunction fresh;
            fresh.number = *number;
            fresh.kind = kind;
            inf.functions.try_emplace(*number, fresh);  // a repeated section keeps its first kind
            current = *number;
            in_section = true;
            continue;
        }

        if (line.ends_with(':')) {
            if (line.starts_with("Instrument"))
                in_section = false;
            else if (line.find("Function") == std::string_view::npos)
                in_section = false;
            continue;
        }

        const std::vector<std::string_view> words = split_words(line);
        if (words.size() < 2) continue;
        const std::string_view value = words.back();
        const std::string key = setting_key(words);

        if (key == "Lteff") {
            set_first(lteff, value);
        } else if (key == "Veff") {
            set_first(veff, value);
        } else if (key == "PusherInterval" || key == "Pusher Interval") {
            set_first(pusher_interval, value);
        } else if (key == "Pusher Cycle Time") {
            set_first(pusher_cycle_time, value);
        } else if (key == "Polarity") {
            if (!inf.polarity) inf.polarity = polarity_of(value);
        } else if (in_section) {
            const auto it = inf.functions.find(current);
            if (it == inf.functions.end()) continue;
            ExternFunction& fn = it->second;
            if (key == "ADC Pusher Frequency") {
                if (auto v = text::parse_f64(value)) fn.adc_pusher_frequency = *v;
            } else if (key == "Set Mass") {
                if (auto v = text::parse_f64(value)) fn.set_mass = *v;
            } else if (key == "Start Mass") {
                if (auto v = text::parse_f64(value)) fn.start_mass = *v;
            } else if (key == "End Mass") {
                if (auto v = text::parse_f64(value)) fn.end_mass = *v;
            }
        }
    }

    if (!lteff) return parse_error("_extern.inf: Lteff field not found");
    if (!veff) return parse_error("_extern.inf: Veff field not found");
    inf.lteff = *lteff;
    inf.veff = *veff;
    inf.pusher_interval = pusher_interval ? pusher_interval : pusher_cycle_time;
    if (!inf.pusher_interval)
        log_debug(kTarget, "_extern.inf: no numeric PusherInterval or Pusher Cycle Time");
    return inf;
}

Result<ExternInf> ExternInf::from_path(const std::filesystem::path& path) {
    auto bytes = fs::read_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    // Valid UTF-8 (the common case) is parsed where it lies: a large file
    // is not held twice.
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (text::is_valid_utf8(text)) return from_str(text);
    const std::string decoded = text::lossy_utf8(text);
    bytes->clear();
    bytes->shrink_to_fit();
    return from_str(decoded);
}

}  // namespace kestrune::raw::extern_inf
