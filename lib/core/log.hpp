// The system log: one line to standard error and to syslog.
#pragma once

#include <string_view>

namespace bwv {

void log_line(std::string_view text);

}  // namespace bwv
