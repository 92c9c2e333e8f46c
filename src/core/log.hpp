#pragma once

namespace kelvara {

enum class LogLevel { error, warning, info, debug };

// Where the module's log lines go. The plug-in points it at the host's log; tests capture it. Until a sink
// is set, lines are dropped. Safe to call from any thread.
using LogSink = void (*)(LogLevel level, const char* line);

void set_log_sink(LogSink sink) noexcept;

// Formats one line printf-style and hands it to the sink. Every line starts with "[kelvara] ", which the
// caller writes as part of the format.
[[gnu::format(printf, 2, 3)]] void log_line(LogLevel level, const char* format, ...) noexcept;

} // namespace kelvara
