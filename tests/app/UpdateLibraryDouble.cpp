#include "tests/app/UpdateLibraryDouble.h"

#include <cstring>
#include <deque>

namespace {

std::vector<std::string> g_calls;
std::deque<upd_result> g_script;
upd_result g_record{};
int g_polls = 0;

void copyText(char *dst, size_t size, const char *src) {
    std::strncpy(dst, src ? src : "", size - 1);
    dst[size - 1] = '\0';
}

}  // namespace

namespace upd_double {

void reset() {
    g_calls.clear();
    g_script.clear();
    g_record = running();
    g_polls = 0;
}

std::vector<std::string> calls() { return g_calls; }

std::vector<int> requests() {
    std::vector<int> out;
    for (const auto &c : g_calls)
        if (c.rfind("request ", 0) == 0) out.push_back(std::stoi(c.substr(8)));
    return out;
}

void scriptPolls(std::vector<upd_result> answers) {
    g_script.assign(answers.begin(), answers.end());
}

int pollCount() { return g_polls; }

upd_result running(int progress) {
    upd_result r{};
    r.state = 1;
    r.progress = progress;
    return r;
}

upd_result checked(bool hasNewVersion, const char *version) {
    upd_result r{};
    r.state = bwv::upd::kFinished;
    r.has_new_version = hasNewVersion ? 1 : 0;
    copyText(r.version, sizeof r.version, version);
    return r;
}

upd_result failed(const char *errorText, bool hasNewVersion) {
    upd_result r{};
    r.state = bwv::upd::kFinished;
    r.error_code = 7;
    r.has_new_version = hasNewVersion ? 1 : 0;
    copyText(r.error_text, sizeof r.error_text, errorText);
    return r;
}

upd_result downloaded(const char *filePath, const char *version) {
    upd_result r{};
    r.state = bwv::upd::kFinished;
    r.progress = 500;
    copyText(r.version, sizeof r.version, version);
    copyText(r.file_path, sizeof r.file_path, filePath);
    return r;
}

}  // namespace upd_double

extern "C" {

int load_providers(void) {
    g_calls.emplace_back("load_providers");
    return 0;
}

int set_full_version(void) {
    g_calls.emplace_back("set_full_version");
    return 0;
}

int upd_init(const char *path) {
    g_calls.emplace_back(std::string("upd_init ") + (path ? path : "(null)"));
    return 0;
}

upd_result *upd_check_bwn_update(int request) {
    g_calls.emplace_back("request " + std::to_string(request));
    if (request == bwv::upd::kPoll) {
        ++g_polls;
        if (!g_script.empty()) {
            g_record = g_script.front();
            if (g_script.size() > 1) g_script.pop_front();
        }
    }
    return &g_record;
}

}
