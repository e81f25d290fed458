#include "support/capture.h"

#include <mutex>

namespace kestrune::testing {

namespace {

class CaptureSink final : public log::Sink {
public:
    void write(const log::Record& r) noexcept override {
        try {
            std::lock_guard lock(mutex_);
            records_.push_back({r.level, std::string(r.target), std::string(r.message), std::string(r.file), r.line});
        } catch (...) {
        }
    }
    std::vector<CapturedRecord> snapshot() {
        std::lock_guard lock(mutex_);
        return records_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        records_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<CapturedRecord> records_;
};

CaptureSink& sink() {
    static CaptureSink* s = [] {
        auto* created = new CaptureSink;  // lives for the process, as the facade requires
        log::set_sink(created);
        return created;
    }();
    return *s;
}

}  // namespace

LogCapture::LogCapture(log::Level max_level) {
    sink().clear();
    log::set_max_level(max_level);
}

LogCapture::~LogCapture() {
    log::set_max_level(log::Level::Off);
    sink().clear();
}

std::vector<CapturedRecord> LogCapture::records() const { return sink().snapshot(); }

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> out;
    for (auto& r : sink().snapshot()) out.push_back(r.message);
    return out;
}

std::vector<std::string> LogCapture::messages(log::Level level) const {
    std::vector<std::string> out;
    for (auto& r : sink().snapshot())
        if (r.level == level) out.push_back(r.message);
    return out;
}

void LogCapture::clear() { sink().clear(); }

}  // namespace kestrune::testing
