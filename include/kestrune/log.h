/// @file
/// The library's diagnostic records: a process-wide maximum level and one
/// sink that receives every record at or below it.
///
/// The library writes warnings (a function skipped or degraded), debug
/// summaries and per-scan trace records; nothing is formatted unless the
/// record's level passes. A program shows them by installing a Sink.
#pragma once

#include <cstdint>
#include <string_view>

#include "kestrune/config.h"

namespace kestrune::log {

/// Ordered from least to most verbose; a record passes when its level is at
/// or below the maximum level.
enum class Level : std::uint8_t {
    Off = 0,    ///< Nothing passes.
    Error = 1,  ///< Failures.
    Warn = 2,   ///< A function skipped or degraded, a channel left out.
    Info = 3,   ///< What an operation decided.
    Debug = 4,  ///< Summaries of what was opened and read.
    Trace = 5   ///< Per-scan detail.
};

/// "OFF", "ERROR", "WARN", "INFO", "DEBUG" or "TRACE".
KESTRUNE_API std::string_view level_name(Level level) noexcept;

/// One diagnostic record. The texts are valid only during Sink::write.
struct Record {
    Level level;               ///< Its level.
    std::string_view target;   ///< The emitting module: "kestrune::reader", "kestrune::export", ...
    std::string_view message;  ///< The formatted message.
    std::string_view file;     ///< Source file of the call site, relative to the project root.
    std::uint32_t line;        ///< Line of the call site.
};

/// Receives the records that pass the maximum level.
class Sink {
public:
    virtual ~Sink() = default;
    /// Called for every record that passed, possibly from several threads
    /// at once; must not throw.
    virtual void write(const Record& record) noexcept = 0;
};

/// Installs the process's sink. Only the first call succeeds; later calls
/// return false and leave the installed sink in place. The sink must live
/// until the process ends.
KESTRUNE_API bool set_sink(Sink* sink) noexcept;
/// The installed sink, or nullptr.
KESTRUNE_API Sink* sink() noexcept;
/// The maximum level (Off until set).
KESTRUNE_API Level max_level() noexcept;
/// Sets the maximum level.
KESTRUNE_API void set_max_level(Level level) noexcept;
/// Whether a record of this level passes.
KESTRUNE_API bool enabled(Level level) noexcept;
/// Hands a record of a program's own to the sink, when its level passes.
KESTRUNE_API void emit(Level level, std::string_view target, std::string_view message) noexcept;

}  // namespace kestrune::log
