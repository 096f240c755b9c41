// A copy of the helper program running in the background until the test ends.
#pragma once

#include <gtest/gtest.h>

#include <bwvutil/ps_utils.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace bwv::test {

class Running {
public:
    // Starts exe in the given mode and returns once it has said it is ready, i.e. once it
    // runs the program under its own name.
    Running(const std::string &exe, const char *mode)
    {
        std::string arg0 = exe;
        std::string arg1 = mode;
        char *argv[] = {arg0.data(), arg1.data(), nullptr};
        pid_ = popen3(fds_, exe.c_str(), argv);
        if (pid_ <= 0) {
            ADD_FAILURE() << "popen3 failed for " << exe;
            return;
        }
        std::string said;
        char c;
        while (said.find('\n') == std::string::npos && read(fds_[1], &c, 1) == 1)
            said += c;
        EXPECT_EQ(said, "ready\n");
    }
    ~Running()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            pclose3(pid_, fds_);
        }
    }
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;

    pid_t pid() const { return pid_; }

    // Reaps the process and gives its wait status.
    int finish()
    {
        int status = pclose3(pid_, fds_);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int fds_[3] = {-1, -1, -1};
};

// Every process ps_get_pid_all finds for name (other processes on the machine may share
// a name, so tests ask whether their own is among them).
inline std::vector<int32_t> all_named(const std::string &name, int case_sensitive)
{
    int32_t *pids = nullptr;
    size_t count = 99;
    EXPECT_EQ(ps_get_pid_all(name.c_str(), case_sensitive, &pids, &count), 0);
    std::vector<int32_t> out(pids, pids + count);
    free(pids);
    return out;
}

inline bool contains(const std::vector<int32_t> &v, pid_t pid)
{
    return std::find(v.begin(), v.end(), pid) != v.end();
}

}  // namespace bwv::test
