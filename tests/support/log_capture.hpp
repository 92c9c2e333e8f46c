#pragma once

#include "core/log.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kelvara::test {

// Collects the module's log lines while it lives.
class LogCapture {
public:
    LogCapture() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        set_log_sink([](LogLevel level, const char* line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(level, line);
        });
    }
    ~LogCapture() { set_log_sink(nullptr); }

    std::vector<std::pair<LogLevel, std::string>> taken() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    static inline std::mutex mutex_;
    static inline std::vector<std::pair<LogLevel, std::string>> lines_;
};

} // namespace kelvara::test
