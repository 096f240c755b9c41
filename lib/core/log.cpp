#include "lib/core/log.hpp"

#include <syslog.h>
#include <unistd.h>

#include <string>

namespace bwv {

void log_line(std::string_view text) {
    std::string line(text);
    for (char &c : line)
        if (c == '\n') c = ' ';
    std::string out = line + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, out.data(), out.size());
    (void)ignored;
    syslog(LOG_NOTICE, "%s", line.c_str());
}

}  // namespace bwv
