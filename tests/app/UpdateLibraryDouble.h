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
const std::vector<std::string> &calls();
std::vector<int> requests();  // just the request codes, in order
// Polls answer these records in order; once they run out, the last one is repeated.
void scriptPolls(std::vector<upd_result> answers);
int pollCount();

// A record in the given state; an error text makes it a failure.
upd_result record(int state, int progress, const char *version = "", const char *path = "",
                  const char *error = nullptr, bool hasNewVersion = false);
inline upd_result running(int progress = 0) { return record(1, progress); }
inline upd_result checked(bool hasNew, const char *version) { return record(bwv::upd::kFinished, 0, version, "", nullptr, hasNew); }
inline upd_result failed(const char *error, bool hasNew = false) { return record(bwv::upd::kFinished, 0, "", "", error, hasNew); }
inline upd_result downloaded(const char *path, const char *version) { return record(bwv::upd::kFinished, 500, version, path); }

}  // namespace upd_double
