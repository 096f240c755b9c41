#include "tests/app/UpdateLibraryDouble.h"

#include <algorithm>
#include <cstring>
#include <deque>

namespace {

std::vector<std::string> g_calls;
std::deque<upd_result> g_script;
upd_result g_record{};

}  // namespace

namespace upd_double {

upd_result record(int state, int progress, const char *version, const char *path, const char *error, bool hasNewVersion) {
    upd_result r{};
    r.state = static_cast<uint16_t>(state);
    r.progress = progress;
    r.error_code = error ? 7 : 0;
    r.has_new_version = hasNewVersion ? 1 : 0;
    std::strncpy(r.version, version, sizeof r.version - 1);
    std::strncpy(r.file_path, path, sizeof r.file_path - 1);
    std::strncpy(r.error_text, error ? error : "", sizeof r.error_text - 1);
    return r;
}

void reset() {
    g_calls.clear();
    g_script.clear();
    g_record = running();
}

const std::vector<std::string> &calls() { return g_calls; }

std::vector<int> requests() {
    std::vector<int> out;
    for (const auto &c : g_calls)
        if (c.rfind("request ", 0) == 0) out.push_back(std::stoi(c.substr(8)));
    return out;
}

void scriptPolls(std::vector<upd_result> answers) { g_script.assign(answers.begin(), answers.end()); }

int pollCount() { return static_cast<int>(std::count(g_calls.begin(), g_calls.end(), "request 4")); }

}  // namespace upd_double

extern "C" {

int load_providers(void) { return g_calls.emplace_back("load_providers"), 0; }
int set_full_version(void) { return g_calls.emplace_back("set_full_version"), 0; }
int upd_init(const char *path) { return g_calls.emplace_back(std::string("upd_init ") + path), 0; }

upd_result *upd_check_bwn_update(int request) {
    g_calls.emplace_back("request " + std::to_string(request));
    if (request == bwv::upd::kPoll && !g_script.empty()) {
        g_record = g_script.front();
        if (g_script.size() > 1) g_script.pop_front();
    }
    return &g_record;
}

}
