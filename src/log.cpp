#include "log.h"

namespace kestrune::log {

namespace {
std::atomic<Sink*> g_sink{nullptr};
}

std::string_view level_name(Level level) noexcept {
    switch (level) {
        case Level::Off: return "OFF";
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
    }
    return "?";
}

bool set_sink(Sink* sink) noexcept {
    Sink* expected = nullptr;
    return g_sink.compare_exchange_strong(expected, sink, std::memory_order_acq_rel);
}

Sink* sink() noexcept { return g_sink.load(std::memory_order_acquire); }

Level max_level() noexcept { return detail::g_max_level.load(std::memory_order_relaxed); }

void set_max_level(Level level) noexcept { detail::g_max_level.store(level, std::memory_order_relaxed); }

bool enabled(Level level) noexcept { return detail::passes(level); }

void emit(Level level, std::string_view target, std::string_view message) noexcept {
    if (detail::passes(level)) detail::dispatch(level, target, "", 0, message);
}

namespace detail {
void dispatch(Level level, std::string_view target, const char* file, std::uint32_t line,
              std::string_view message) noexcept {
    Sink* s = g_sink.load(std::memory_order_acquire);
    if (s == nullptr) return;
    s->write(Record{level, target, message, file, line});
}
}  // namespace detail

}  // namespace kestrune::log
