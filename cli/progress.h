// A one-line progress bar on standard error, drawn only when standard
// error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include <kestrune/export.h>

namespace kestrune::cli {

class Progress {
public:
    // `enabled` false draws nothing at all.
    Progress(std::string_view label, std::uint64_t total, bool enabled, std::FILE* out = stderr);
    ~Progress();

    void update(std::uint64_t done);
    // Draws the full bar and ends the line.
    void finish();

    // Whether standard error is a terminal.
    static bool stderr_is_terminal() noexcept;

private:
    void draw(std::uint64_t done);

    std::string_view label_;
    std::uint64_t total_;
    bool enabled_;
    bool finished_ = false;
    std::FILE* out_;
    int last_permille_ = -1;
    std::chrono::steady_clock::time_point last_draw_{};
};

// The bars of a library call's progress callback: a bar starts whenever the
// count starts at 0 and is finished when the count reaches its total.
class ProgressBars {
public:
    ProgressBars(std::string_view label, bool enabled) : label_(label), enabled_(enabled) {}
    ProgressCallback callback();

private:
    std::string_view label_;
    bool enabled_;
    std::optional<Progress> bar_;
};

}  // namespace kestrune::cli
