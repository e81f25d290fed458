// The library's logging call sites: the public facade (kestrune/log.h) and
// the macros that test the maximum level before anything is formatted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "kestrune/log.h"

namespace kestrune::log {

namespace detail {
inline std::atomic<Level> g_max_level{Level::Off};
void dispatch(Level level, std::string_view target, const char* file, std::uint32_t line,
              std::string_view message) noexcept;
// The test at every call site, inlined.
inline bool passes(Level level) noexcept {
    return level != Level::Off && level <= g_max_level.load(std::memory_order_relaxed);
}
}  // namespace detail

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
        if (::kestrune::log::detail::passes(level))                                                 \
            ::kestrune::log::write(level, target,                                            \
                                   __FILE__, __LINE__, \
                                   __VA_ARGS__);                                             \
    } while (false)

#define log_error(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Error, target, __VA_ARGS__)
#define log_warn(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Warn, target, __VA_ARGS__)
#define log_info(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Info, target, __VA_ARGS__)
#define log_debug(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Debug, target, __VA_ARGS__)
#define log_trace(target, ...) KESTRUNE_LOG(::kestrune::log::Level::Trace, target, __VA_ARGS__)
