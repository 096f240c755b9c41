// Process lookup against a bare /proc scan, and collecting a child's output with
// ps_runtool against bare read loops over the same child.
#include <bwvutil/dbuf.h>
#include <bwvutil/ps_utils.h>

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kName[] = "BrindleWaveAgent";

size_t count_processes() {
    size_t n = 0;
    DIR *d = opendir("/proc");
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') ++n;
    closedir(d);
    return n;
}

// The least any lookup must do: one pass over /proc, one readlink per process.
int32_t bare_scan(const char *name) {
    size_t nlen = strlen(name);
    int32_t found = 0;
    DIR *d = opendir("/proc");
    char link[300], path[4096];
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        snprintf(link, sizeof link, "/proc/%s/exe", e->d_name);
        ssize_t n = readlink(link, path, sizeof path - 1);
        if (n <= 0 || static_cast<size_t>(n) < nlen) continue;
        path[n] = '\0';
        if (strcmp(path + n - nlen, name) == 0) {
            found = atoi(e->d_name);
            break;
        }
    }
    closedir(d);
    return found;
}

void BM_ProcScanBare(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(bare_scan(kName));
    state.counters["processes"] = static_cast<double>(count_processes());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count_processes()));
}
BENCHMARK(BM_ProcScanBare)->Unit(benchmark::kMicrosecond);

void BM_PsGetPid(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(ps_get_pid(kName));
    state.counters["processes"] = static_cast<double>(count_processes());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count_processes()));
}
BENCHMARK(BM_PsGetPid)->Unit(benchmark::kMicrosecond);

// The same question asked of a command, for scale.
void BM_PidofCommand(benchmark::State &state) {
    char *argv[] = {const_cast<char *>("pidof"), const_cast<char *>(kName), nullptr};
    for (auto _ : state) {
        pid_t pid = fork();
        if (pid == 0) {
            closeall();
            execvp("pidof", argv);
            _exit(127);
        }
        int status;
        waitpid(pid, &status, 0);
    }
}
BENCHMARK(BM_PidofCommand)->Unit(benchmark::kMillisecond);

std::string g_bytes;
char *const *writer_argv() {
    static std::string tool = "/usr/bin/head";
    static std::string count = "-c";
    static std::vector<char *> argv;
    if (argv.empty()) argv = {tool.data(), count.data(), g_bytes.data(), const_cast<char *>("/dev/zero"), nullptr};
    return argv.data();
}

// Reads both outputs with select and reads of chunk bytes into one stack buffer.
void bare_loop(size_t chunk) {
    int fds[3];
    pid_t pid = popen3(fds, "/usr/bin/head", writer_argv());
    std::vector<char> buf(chunk);
    bool open[2] = {true, true};
    while (open[0] || open[1]) {
        fd_set set;
        FD_ZERO(&set);
        for (int i = 0; i < 2; ++i)
            if (open[i]) FD_SET(fds[i + 1], &set);
        if (select(FD_SETSIZE, &set, nullptr, nullptr, nullptr) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (open[i] && FD_ISSET(fds[i + 1], &set)) {
                ssize_t n = read(fds[i + 1], buf.data(), chunk);
                if (n <= 0) open[i] = false;
                benchmark::DoNotOptimize(buf.data());
            }
        }
    }
    pclose3(pid, fds);
}

void BM_ChildOutputBare1K(benchmark::State &state) {
    g_bytes = std::to_string(state.range(0));
    for (auto _ : state) bare_loop(1024);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ChildOutputBare1K)
    ->Arg(1 << 20)
    ->Arg(8 << 20)
    ->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ChildOutputBare64K(benchmark::State &state) {
    g_bytes = std::to_string(state.range(0));
    for (auto _ : state) bare_loop(64 * 1024);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ChildOutputBare64K)
    ->Arg(1 << 20)
    ->Arg(8 << 20)
    ->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ps_runtool keeping every byte in a byte buffer.
void BM_PsRuntool(benchmark::State &state) {
    g_bytes = std::to_string(state.range(0));
    for (auto _ : state) {
        dbuf *out = dbuf_create();
        ps_runtool(writer_argv(), out, nullptr);
        if (dbuf_len(out) != static_cast<uint32_t>(state.range(0))) state.SkipWithError("output lost");
        dbuf_destroy(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PsRuntool)->Arg(1 << 20)->Arg(8 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same without buffers: what the byte buffer costs is the difference.
void BM_PsRuntoolNoBuf(benchmark::State &state) {
    g_bytes = std::to_string(state.range(0));
    for (auto _ : state) ps_runtool(writer_argv(), nullptr, nullptr);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PsRuntoolNoBuf)->Arg(1 << 20)->Arg(8 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
