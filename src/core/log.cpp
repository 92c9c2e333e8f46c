#include "core/log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kelvara {
namespace {

std::atomic<LogSink> current_sink{nullptr};

} // namespace

void set_log_sink(LogSink sink) noexcept {
    current_sink.store(sink, std::memory_order_release);
}

void log_line(LogLevel level, const char* format, ...) noexcept {
    const LogSink sink = current_sink.load(std::memory_order_acquire);
    if (sink == nullptr) {
        return;
    }
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    sink(level, line);
}

} // namespace kelvara
