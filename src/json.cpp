#include "json.h"

#include <cmath>

#include <fmt/format.h>

#include "text.h"

namespace kestrune {

std::string json_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                if (c < 0x20)
                    fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
                else
                    out.push_back(ch);
        }
    }
    out.push_back('"');
    return out;
}

void JsonWriter::newline() {
    out_.push_back('\n');
    out_.append(first_.size() * 2, ' ');
}

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_.push_back(',');
        first_.back() = false;
        newline();
    }
}

JsonWriter& JsonWriter::begin_object() {
    before_value();
    out_.push_back('{');
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) newline();
    out_.push_back('}');
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    before_value();
    out_.push_back('[');
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_array() { return end_object(), out_.back() = ']', *this; }

JsonWriter& JsonWriter::key(std::string_view name) {
    before_value();
    out_.append(json_quote(name));
    out_.append(": ");
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    before_value();
    out_.append(json_quote(text::lossy_utf8(text)));
    return *this;
}

JsonWriter& JsonWriter::value(double number) {
    if (!std::isfinite(number)) return null();
    before_value();
    out_.append(text::plain(number));
    return *this;
}

JsonWriter& JsonWriter::value(float number) {
    if (!std::isfinite(number)) return null();
    before_value();
    out_.append(text::plain(number));
    return *this;
}

JsonWriter& JsonWriter::value(std::int64_t number) {
    before_value();
    fmt::format_to(std::back_inserter(out_), "{}", number);
    return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t number) {
    before_value();
    fmt::format_to(std::back_inserter(out_), "{}", number);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    before_value();
    out_.append(flag ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::null() {
    before_value();
    out_.append("null");
    return *this;
}

std::string JsonWriter::finish() {
    out_.push_back('\n');
    return std::move(out_);
}

}  // namespace kestrune
