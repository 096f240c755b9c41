// Downloading a client image through libUpdate (request 8, then polling) against
// `curl -o FILE` followed by `sha256sum FILE`, both from the same loopback server.
// The library is loaded from a private folder so that its providers.plist points at
// that server.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "upd.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kImageSize = size_t{256} << 20;

struct UpdateApi {
    int (*load_providers)();
    int (*upd_init)(const char *);
    upd_result *(*check)(int);
};

class Fixture {
public:
    Fixture() {
        // Both downloads go to the loopback server, never through a proxy.
        setenv("NO_PROXY", "127.0.0.1", 1);
        setenv("no_proxy", "127.0.0.1", 1);
        std::string t = (fs::temp_directory_path() / "bwv-bench-upd-XXXXXX").string();
        dir_ = mkdtemp(t.data());
        fs::create_directories(dir_ / "www");
        fs::create_directories(dir_ / "lib");
        write_image();
        start_server();
        load_library();
    }

    ~Fixture() {
        if (server_pid_ > 0) {
            kill(server_pid_, SIGTERM);
            waitpid(server_pid_, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/image.dmg"; }
    const fs::path &dir() const { return dir_; }
    const UpdateApi &api() const { return api_; }

private:
    void write_image() {
        std::vector<char> data(kImageSize);
        std::mt19937_64 gen(42);
        for (size_t i = 0; i + 8 <= data.size(); i += 8) {
            uint64_t x = gen();
            std::memcpy(&data[i], &x, 8);
        }
        std::ofstream(dir_ / "www/image.dmg", std::ios::binary).write(data.data(), data.size());
        unsigned char md[32];
        unsigned int len = 0;
        EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
        char hex[65];
        for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", md[i]);
        std::ofstream(dir_ / "www/feed.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>VPN</key><dict><key>Version</key><string>7.4.1</string>"
            << "<key>URL</key><string>image.dmg</string><key>Size</key><integer>" << kImageSize
            << "</integer><key>SHA256</key><string>" << hex << "</string></dict></dict></plist>\n";
    }

    void start_server() {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        server_pid_ = fork();
        if (server_pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::string root = (dir_ / "www").string();
            execlp("python3", "python3", BWV_UPDATE_TEST_SERVER, "--root", root.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        FILE *f = fdopen(out[0], "r");
        if (!f || std::fscanf(f, "%d", &port_) != 1) throw std::runtime_error("test server");
        fclose(f);
    }

    void load_library() {
        fs::path lib = dir_ / "lib" / fs::path(BWV_UPDATE_LIBRARY).filename();
        fs::create_symlink(BWV_UPDATE_LIBRARY, lib);
        // The library finds libbwvutil beside itself, as in the bundle.
        fs::create_symlink(fs::path(BWV_UPDATE_LIBRARY).parent_path() / "libbwvutil.so.1",
                           dir_ / "lib/libbwvutil.so.1");
        std::ofstream(dir_ / "lib/providers.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>FeedURLs</key><array><string>http://127.0.0.1:" << port_
            << "/feed.plist</string></array></dict></plist>\n";
        void *h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) throw std::runtime_error(dlerror());
        api_.load_providers = reinterpret_cast<int (*)()>(dlsym(h, "load_providers"));
        api_.upd_init = reinterpret_cast<int (*)(const char *)>(dlsym(h, "upd_init"));
        api_.check = reinterpret_cast<upd_result *(*)(int)>(dlsym(h, "upd_check_bwn_update"));
        if (!api_.load_providers || !api_.upd_init || !api_.check || api_.load_providers() != 0)
            throw std::runtime_error("libUpdate");
    }

    fs::path dir_;
    pid_t server_pid_ = -1;
    int port_ = 0;
    UpdateApi api_{};
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

using Clock = std::chrono::steady_clock;

double curl_then_sha256sum() {
    fs::path file = fixture().dir() / "curl.dmg";
    std::string cmd = "curl -s -f -o '" + file.string() + "' '" + fixture().url() + "' && sha256sum '" + file.string() +
                      "' > /dev/null";
    auto t0 = Clock::now();
    int rc = std::system(cmd.c_str());
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    fs::remove(file);
    if (rc != 0) throw std::runtime_error("curl or sha256sum failed");
    return s;
}

// Request 8, then polls; polling every millisecond leaves out the installer's last
// poll interval.
double library_download() {
    const UpdateApi &api = fixture().api();
    fs::path folder = fixture().dir() / "downloads";
    api.upd_init(folder.c_str());
    auto t0 = Clock::now();
    upd_result *r = api.check(UPD_REQ_DOWNLOAD_LIGHT);
    while ((r = api.check(UPD_REQ_POLL))->state != UPD_STATE_DONE)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    bool ok = r->error_code == 0;
    fs::remove_all(folder);
    if (!ok) throw std::runtime_error(r->error_text);
    return s;
}

void BM_CurlThenSha256sum(benchmark::State &state) {
    fixture();
    for (auto _ : state) state.SetIterationTime(curl_then_sha256sum());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageSize));
}

void BM_UpdateLibraryDownload(benchmark::State &state) {
    fixture();
    for (auto _ : state) state.SetIterationTime(library_download());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageSize));
}

// Both in turn, so that load on the machine hits them alike; ratio = library / curl.
void BM_UpdateLibraryVersusCurl(benchmark::State &state) {
    fixture();
    double lib = 0, curl = 0;
    for (auto _ : state) {
        double c = curl_then_sha256sum();
        double l = library_download();
        curl += c;
        lib += l;
        state.SetIterationTime(c + l);
    }
    state.counters["ratio"] = lib / curl;
    state.counters["curl_s"] = curl / static_cast<double>(state.iterations());
    state.counters["library_s"] = lib / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_CurlThenSha256sum)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UpdateLibraryDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UpdateLibraryVersusCurl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
