// A small program the process tests run under various names.
//   wait             print "ready", then wait for a signal
//   ignore-term      ignore SIGTERM, print "ready", then wait
//   spew OUT ERR     write OUT bytes of pattern 1 to stdout and ERR of pattern 2 to stderr,
//                    interleaved in uneven pieces
//   burst OUT ERR MORE  write OUT bytes of pattern 1 to stdout, then ERR of pattern 2 to
//                    stderr, then MORE bytes continuing pattern 1 to stdout
//   once N           write N bytes (at most 4,096) of pattern 1 to stdout in one write,
//                    so a reader finds them all at once
//   exit N           exit with status N
//   signal N         end by signal N
//   upper            copy stdin to stdout in capitals
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "pattern.hpp"

namespace {

void write_all(int fd, const unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0)
            _exit(9);
        p += w;
        n -= static_cast<size_t>(w);
    }
}

[[noreturn]] void wait_forever()
{
    const char ready[] = "ready\n";
    write_all(1, reinterpret_cast<const unsigned char *>(ready), sizeof ready - 1);
    for (;;)
        pause();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *mode = argv[1];
    if (!strcmp(mode, "wait"))
        wait_forever();
    if (!strcmp(mode, "ignore-term")) {
        signal(SIGTERM, SIG_IGN);
        wait_forever();
    }
    if (!strcmp(mode, "once") && argc > 2) {
        unsigned char buf[4096];
        size_t n = strtoul(argv[2], nullptr, 10);
        if (n > sizeof buf)
            return 2;
        for (size_t i = 0; i < n; ++i)
            buf[i] = bwv::test::pattern_byte(0, i);
        write_all(1, buf, n);
        return 0;
    }
    if (!strcmp(mode, "exit") && argc > 2)
        return atoi(argv[2]);
    if (!strcmp(mode, "signal") && argc > 2) {
        signal(atoi(argv[2]), SIG_DFL);
        raise(atoi(argv[2]));
        return 3;
    }
    if (!strcmp(mode, "upper")) {
        unsigned char buf[512];
        ssize_t n;
        while ((n = read(0, buf, sizeof buf)) > 0) {
            for (ssize_t i = 0; i < n; ++i)
                buf[i] = static_cast<unsigned char>(toupper(buf[i]));
            write_all(1, buf, static_cast<size_t>(n));
        }
        return 0;
    }
    if (!strcmp(mode, "burst") && argc > 4) {
        size_t len[3] = {strtoul(argv[2], nullptr, 10), strtoul(argv[3], nullptr, 10), strtoul(argv[4], nullptr, 10)};
        const int stream[3] = {0, 1, 0};
        size_t at[2] = {0, 0};
        unsigned char buf[4096];
        for (int part = 0; part < 3; ++part) {
            for (size_t left = len[part]; left > 0;) {
                size_t n = left < sizeof buf ? left : sizeof buf;
                for (size_t i = 0; i < n; ++i)
                    buf[i] = bwv::test::pattern_byte(stream[part], at[stream[part]]++);
                write_all(stream[part] + 1, buf, n);
                left -= n;
            }
        }
        return 0;
    }
    if (!strcmp(mode, "spew") && argc > 3) {
        size_t total[2] = {strtoul(argv[2], nullptr, 10), strtoul(argv[3], nullptr, 10)};
        size_t done[2] = {0, 0};
        unsigned char buf[7001];
        size_t piece = 1;
        while (done[0] < total[0] || done[1] < total[1]) {
            for (int s = 0; s < 2; ++s) {
                piece = piece * 7 % 7001 + 1;
                size_t n = piece < total[s] - done[s] ? piece : total[s] - done[s];
                for (size_t i = 0; i < n; ++i)
                    buf[i] = bwv::test::pattern_byte(s, done[s] + i);
                write_all(s + 1, buf, n);
                done[s] += n;
            }
        }
        return 0;
    }
    return 2;
}
