#include "support/bwvtest.hpp"

#include "lib/base/launch.hpp"
#include "lib/system/child.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace bwv::test {

namespace launch = bwv::launch;

TempDir::TempDir(std::string_view prefix, Base base) {
    const char *tmp = base == UnderTmpdir ? std::getenv("TMPDIR") : nullptr;
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + std::string(prefix) + "-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() { remove_tree(path_); }

std::string TempDir::write(std::string_view rel, std::string_view content, mode_t mode) const {
    const std::string p = file(rel);
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    write_file(p, content);
    if (chmod(p.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + p);
    return p;
}

std::string TempDir::mkdirs(std::string_view rel) const {
    const std::string p = rel.empty() ? path_ : path_ + "/" + std::string(rel);
    std::filesystem::create_directories(p);
    return p;
}

std::string TempDir::script(std::string_view rel, std::string body) const {
    for (size_t at; (at = body.find("@ROOT@")) != std::string::npos;) body.replace(at, 6, path_);
    return write(rel, "#!/bin/sh\n" + body, 0755);
}

std::string TempDir::read(std::string_view rel) const { return read_file(file(rel)); }
bool TempDir::exists(std::string_view rel) const { return test::exists(file(rel)); }

void remove_tree(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (auto &n : list_dir(path)) remove_tree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// Through the launcher the product starts its tools with; the added variables go through env(1).
RunResult run(const std::vector<std::string> &argv, const std::string &input, const Env &env, const std::string &cwd) {
    std::vector<std::string> words{"env"};
    for (auto &e : env) words.push_back(e.first + "=" + e.second);
    words.insert(words.end(), argv.begin(), argv.end());
    const bwv::sys::ArgVector args(std::move(words));
    const launch::Command cmd{
        .argv = args.get(), .search_path = true, .directory = cwd.empty() ? nullptr : cwd.c_str()};
    RunResult r;
    launch::Run how;
    if (!input.empty()) how.input = input;
    how.out = launch::capture(r.out);
    how.err = launch::capture(r.err);
    const launch::Result done = launch::run(cmd, how);
    if (done.status == -1) throw std::runtime_error("cannot run " + argv.at(0));
    r.rc = WIFEXITED(done.status) ? WEXITSTATUS(done.status) : 128 + WTERMSIG(done.status);
    return r;
}

void write_file(const std::string &path, std::string_view content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    std::error_code unreadable;  // none, as for a folder that is missing
    for (const auto &entry : std::filesystem::directory_iterator(path, unreadable))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> walk(const std::string &root) {
    std::vector<std::string> out;
    for (auto &n : list_dir(root)) {
        const bool folder = std::filesystem::is_directory(std::filesystem::symlink_status(root + "/" + n));
        out.push_back(folder ? n + "/" : n);
        if (folder)
            for (auto &below : walk(root + "/" + n)) out.push_back(n + "/" + below);
    }
    return out;
}

void flip_byte(const std::string &path, long offset) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(offset);
    char c = 0;
    f.get(c);
    f.seekp(offset);
    f.put(static_cast<char>(c ^ 0x01));
    if (!f) throw std::runtime_error("cannot alter " + path);
}

std::string in_fresh_process(const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return "<pipe>";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out = body();
        launch::write_all(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string out = read_file("/proc/self/fd/" + std::to_string(fds[0]));
    close(fds[0]);
    int status = launch::wait(pid);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "<crashed>";
}

RunResult run_python(const std::string &script, const std::vector<std::string> &args, const std::string &input) {
    std::vector<std::string> argv{
        "python3", script.find('/') == std::string::npos ? std::string(BWV_TEST_DATA_DIR) + "/" + script : script};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, input);
}

}  // namespace bwv::test
