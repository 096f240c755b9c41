// A scriptable stand-in for the update library, linked into the controller tests in place
// of libUpdate.so. It records every call in order and answers polls from a script.
#pragma once

#include <string>
#include <vector>

#include "app/UpdateLibrary.h"

namespace upd_double {

// Forget every recorded call and scripted answer; the record reads "running".
void reset();
// The calls so far: "load_providers", "set_full_version", "upd_init <path>", "request <code>".
std::vector<std::string> calls();
std::vector<int> requests();  // just the request codes, in order
// Polls answer these records in order; once they run out, the last one is repeated.
void scriptPolls(std::vector<upd_result> answers);
int pollCount();

upd_result running(int progress = 0);
upd_result checked(bool hasNewVersion, const char *version);
upd_result failed(const char *errorText, bool hasNewVersion = false);
upd_result downloaded(const char *filePath, const char *version = "");

}  // namespace upd_double
