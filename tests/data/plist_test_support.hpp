// Helpers shared by the property-list tests: file access and the python3 oracle.
#pragma once

#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace bwv::test {

inline bool have_python3()
{
    return std::system("python3 -c 'import plistlib' >/dev/null 2>&1") == 0;
}

// Runs the plistlib oracle; its output goes to *log.
inline int run_oracle(const std::string &mode, const std::string &dir, std::string *log = nullptr)
{
    std::string cmd = "python3 '" BWV_TEST_DATA_DIR "/plist_oracle.py' " + mode + " '" + dir + "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[512];
    std::string out;
    while (size_t n = fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    int status = pclose(p);
    if (log)
        *log = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string interop(const std::string &sub)
{
    return std::string(BWV_INTEROP_DIR) + "/" + sub;
}

}  // namespace bwv::test
