// Shared pieces of the fuzz targets: reading values off the front of the
// fuzzer's input, a log sink that checks every record, and checks on the
// texts that leave the library (error texts, plain numbers).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bytes.h"
#include "error.h"
#include "log.h"
#include "text.h"

namespace kestrune::fuzz {

// Stops the run with a message: the fuzzer records the input as a crash.
[[noreturn]] inline void fault(std::string_view what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %.*s %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// Values taken one after another from the front of the input; missing
// bytes read as zero, so every input is usable.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    double f64() { return std::bit_cast<double>(take(8)); }
    // Everything not yet taken.
    Bytes rest() const { return Bytes(data_ + pos_, size_ - pos_); }

private:
    std::uint64_t take(std::size_t n) {
        std::uint64_t v = 0;
        const std::size_t avail = pos_ < size_ ? size_ - pos_ : 0;
        const std::size_t k = n < avail ? n : avail;
        std::memcpy(&v, data_ + pos_, k);  // little-endian host (bytes.h)
        pos_ += k;
        return v;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Every text handed to Python (error texts, log messages) becomes a str
// there, so it has to be valid UTF-8 whenever the input text was.
inline void check_utf8(std::string_view text, std::string_view what) {
    if (!text::is_valid_utf8(text)) fault(what, "is not valid UTF-8");
}

// Builds the display text of an error and walks its chain.
inline void touch(const Error& e, bool want_utf8 = true) {
    const std::string shown = e.to_string();
    if (shown.empty()) fault("empty error text");
    if (want_utf8) check_utf8(shown, "error text");
    const Error* cur = &e;
    while (cur->kind() == Error::Kind::Context) {
        cur = cur->inner();
        if (cur == nullptr) fault("context error without inner error");
    }
    if (cur->kind() == Error::Kind::Io && !cur->text().empty()) fault("I/O error with a text");
}

template <class T>
bool touch(const Result<T>& r, bool want_utf8 = true) {
    if (!r) touch(r.error(), want_utf8);
    return r.has_value();
}

// The plain form must read back to the same value (NaN to some NaN).
inline void touch(double v) {
    const std::string shown = text::plain(v);
    if (shown.find_first_of("eE") != std::string::npos && !std::isnan(v) && !std::isinf(v))
        fault("plain form with an exponent", shown);
    const auto back = text::parse_f64(shown);
    if (!back) fault("plain form does not parse", shown);
    if (std::isnan(v) ? !std::isnan(*back) : std::bit_cast<std::uint64_t>(*back) != std::bit_cast<std::uint64_t>(v))
        fault("plain form does not round-trip", shown);
}

inline void touch(float v) {
    const std::string shown = text::plain(v);
    const auto back = text::parse_f64(shown);
    if (!back) fault("plain form does not parse", shown);
    const float narrowed = static_cast<float>(*back);
    if (std::isnan(v) ? !std::isnan(narrowed) : std::bit_cast<std::uint32_t>(narrowed) != std::bit_cast<std::uint32_t>(v))
        fault("plain form of a float does not round-trip", shown);
}

// A sink that formats nothing itself but checks what the library wrote.
class CheckingSink final : public log::Sink {
public:
    void write(const log::Record& record) noexcept override {
        if (record.target.substr(0, 10) != "kestrune::") fault("log target", record.target);
        if (want_utf8) check_utf8(record.message, "log message");
        if (log::level_name(record.level) == "?") fault("log level");
        ++count;
    }
    bool want_utf8 = true;
    std::size_t count = 0;
};

// Installs the checking sink once and lets every record through, so that
// the formatting of every log call site runs.
inline CheckingSink& log_everything() {
    static CheckingSink sink;
    static const bool installed = [] {
        log::set_sink(&sink);
        log::set_max_level(log::Level::Trace);
        return true;
    }();
    (void)installed;
    return sink;
}

}  // namespace kestrune::fuzz
