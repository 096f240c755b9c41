#include "app/framework/log.hpp"

#include <mutex>

#include "lib/core/log.hpp"

namespace bwv::platform {

namespace {

class SystemLogSink : public LogSink {
public:
    void logLine(const QString &line) override { bwv::log_line(line.toUtf8().toStdString()); }
};

std::mutex g_mutex;

std::shared_ptr<LogSink> &current() {
    static auto *sink = new std::shared_ptr<LogSink>(std::make_shared<SystemLogSink>());
    return *sink;
}

}  // namespace

void setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(g_mutex);
    current() = sink ? std::move(sink) : std::make_shared<SystemLogSink>();
}

std::shared_ptr<LogSink> logSink() {
    std::lock_guard lock(g_mutex);
    return current();
}

void logLine(const QString &text) { logSink()->logLine(text); }

}  // namespace bwv::platform
