// The system log through a replaceable sink, so tests record lines.
#pragma once

#include <QString>

#include <memory>

namespace bwv::platform {

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void logLine(const QString &line) = 0;
};

// nullptr restores the standard sink: one line to standard error and to syslog, line
// breaks inside the text turned into blanks.
void setLogSink(std::shared_ptr<LogSink> sink);
std::shared_ptr<LogSink> logSink();

// Logs one finished text (formatting is the caller's).
void logLine(const QString &text);

}  // namespace bwv::platform
