// Logging facade: a process-wide maximum level tested at every call site
// before anything is formatted, records with level, target, message and call
// site, and one pluggable sink for the whole process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include <fmt/format.h>

namespace kestrune::log {

// Ordered from least to most verbose; a record passes when its level is at
// or below the maximum level.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

std::string_view level_name(Level level) noexcept;

struct Record {
    Level level;
    std::string_view target;   // "kestrune::reader", "kestrune::raw::index", ...
    std::string_view message;  // fully formatted
    std::string_view file;     // source file of the call site, relative to the project root
                               // (the build maps the root's prefix away)
    std::uint32_t line;
};

class Sink {
public:
    virtual ~Sink() = default;
    // Called for every record that passed the maximum level; must not throw.
    virtual void write(const Record& record) noexcept = 0;
};

namespace detail {
inline std::atomic<Level> g_max_level{Level::Off};
void dispatch(Level level, std::string_view target, const char* file, std::uint32_t line,
              std::string_view message) noexcept;

}  // namespace detail

inline Level max_level() noexcept { return detail::g_max_level.load(std::memory_order_relaxed); }
inline void set_max_level(Level level) noexcept {
    detail::g_max_level.store(level, std::memory_order_relaxed);
}
inline bool enabled(Level level) noexcept {
    return level != Level::Off && level <= max_level();
}

// Installs the process's sink. Only the first call succeeds; later calls
// return false and leave the installed sink in place. The sink must live
// until the process ends.
bool set_sink(Sink* sink) noexcept;
Sink* sink() noexcept;

// Formats and dispatches one record; the caller has tested the level.
template <class... Args>
void write(Level level, std::string_view target, const char* file, std::uint32_t line,
           fmt::format_string<Args...> format, Args&&... args) noexcept {
    try {
        const std::string message = fmt::format(format, std::forward<Args>(args)...);
        detail::dispatch(level, target, file, line, message);
    } catch (...) {
        // A record that cannot be formatted (out of memory) is lost.
    }
}

}  // namespace kestrune::log

#define KESTRUNE_LOG(level, target, ...)                                                     \
    do {                                                                                     \
        if (::kestrune::log::enabled(level))                                                 \
            ::kestrune::log::write(level, target,                                            \
                                   __FILE__, __LINE__, \
                                   __VA_ARGS__);                                             \
    } while (false)

#define log_error(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Error, target, __VA_ARGS__)
#define log_warn(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Warn, target, __VA_ARGS__)
#define log_info(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Info, target, __VA_ARGS__)
#define log_debug(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Debug, target, __VA_ARGS__)
#define log_trace(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Trace, target, __VA_ARGS__)
