// A small writer of indented JSON text: the run description, the quality
// report's data and the mzQC file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class JsonWriter {
public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    // The key of the next member of the current object.
    JsonWriter& key(std::string_view name);

    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    // Non-finite numbers, which JSON cannot hold, become null.
    JsonWriter& value(double number);
    // A 32-bit value in its shortest 32-bit form (0.1f as 0.1).
    JsonWriter& value(float number);
    JsonWriter& value(std::int64_t number);
    JsonWriter& value(std::uint64_t number);
    JsonWriter& value(bool flag);
    JsonWriter& null();
    template <class T>
    JsonWriter& value(const std::optional<T>& v) {
        return v ? value(*v) : null();
    }

    // The text, ending with a line feed.
    std::string finish();

private:
    void before_value();
    void newline();

    std::string out_;
    std::vector<bool> first_;  // per open container: no member yet
    bool after_key_ = false;
};

// A JSON string literal of valid UTF-8 text.
std::string json_quote(std::string_view text);

}  // namespace kestrune
