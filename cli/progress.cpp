#include "progress.h"

#include <string>

#include <unistd.h>

#include <fmt/format.h>

namespace kestrune::cli {

Progress::Progress(std::string_view label, std::uint64_t total, bool enabled, std::FILE* out)
    : label_(label), total_(total), enabled_(enabled), out_(out) {
    if (enabled_) draw(0);
}

Progress::~Progress() {
    // An abandoned bar (an error ended the work) still ends its line so the
    // message that follows starts on a fresh one.
    if (enabled_ && !finished_) std::fputc('\n', out_);
}

bool Progress::stderr_is_terminal() noexcept { return ::isatty(STDERR_FILENO) == 1; }

void Progress::update(std::uint64_t done) {
    if (!enabled_ || finished_) return;
    const int permille = total_ == 0 ? 1000 : int(done * 1000 / total_);
    if (permille == last_permille_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_draw_ < std::chrono::milliseconds(100)) return;
    draw(done);
}

void Progress::finish() {
    if (!enabled_ || finished_) return;
    draw(total_);
    std::fputc('\n', out_);
    std::fflush(out_);
    finished_ = true;
}

void Progress::draw(std::uint64_t done) {
    constexpr int kWidth = 30;
    const int permille = total_ == 0 ? 1000 : int(std::min(done, total_) * 1000 / total_);
    const int filled = permille * kWidth / 1000;
    std::string bar(std::size_t(filled), '#');
    bar.append(std::size_t(kWidth - filled), ' ');
    fmt::print(out_, "\r{} [{}] {:3}% {}/{}", label_, bar, permille / 10, done, total_);
    std::fflush(out_);
    last_permille_ = permille;
    last_draw_ = std::chrono::steady_clock::now();
}

ProgressCallback ProgressBars::callback() {
    if (!enabled_) return {};
    return [this](std::uint64_t done, std::uint64_t total) {
        if (done == 0 || !bar_) bar_.emplace(label_, total, enabled_);
        if (done >= total)
            bar_->finish();
        else
            bar_->update(done);
    };
}

}  // namespace kestrune::cli
