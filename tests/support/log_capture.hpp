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
        std::lock_guard lock(mutex());
        lines().clear();
        set_log_sink([](LogLevel level, const char* line) {
            std::lock_guard lock(mutex());
            lines().emplace_back(level, line);
        });
    }
    ~LogCapture() { set_log_sink(nullptr); }

    std::vector<std::pair<LogLevel, std::string>> taken() const {
        std::lock_guard lock(mutex());
        return lines();
    }

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static std::vector<std::pair<LogLevel, std::string>>& lines() {
        static std::vector<std::pair<LogLevel, std::string>> instance;
        return instance;
    }
};

} // namespace kelvara::test
