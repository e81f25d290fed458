// A capturing log sink for tests: installed once per test process, cleared
// and given a maximum level by each LogCapture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log.h"

namespace kestrune::testing {

struct CapturedRecord {
    log::Level level;
    std::string target;
    std::string message;
    std::string file;
    std::uint32_t line;
};

class LogCapture {
public:
    explicit LogCapture(log::Level max_level = log::Level::Trace);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedRecord> records() const;
    std::vector<std::string> messages() const;
    // Messages of the records at exactly this level.
    std::vector<std::string> messages(log::Level level) const;
    void clear();
};

}  // namespace kestrune::testing
