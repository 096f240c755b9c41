// Helpers shared by the Linux stand-ins for the macOS system tools: where a tool lives,
// where the tools keep their state and log, running a helper program.
#pragma once

#include <string>
#include <vector>

namespace bwv::tools {

// Folder holding the running executable (symbolic links resolved).
std::string self_dir();

// Folder for the tools' log and state: $BWV_TOOLS_STATE_DIR when set, else the "var"
// folder of the build or install tree the tool belongs to (<tree>/libexec/bwvutil/../../var).
std::string state_dir();

// The installer stand-ins' log, inside state_dir().
std::string installer_log_path();

// Appends one record to the installer log: UTC time, tool, event, subject and detail,
// separated by tabs; tabs, line breaks and backslashes inside fields are escaped so that
// every record is exactly one line. Returns false (with a reason) when it cannot be written.
bool append_installer_log(const std::string &tool, const std::string &event, const std::string &subject,
                          const std::string &detail, std::string *error);

std::string escape_field(const std::string &s);
std::string utc_now();
std::string base_name(const std::string &path);
std::string absolute_path(const std::string &path);

// Creates a folder and its missing parents with the given mode.
bool make_dirs(const std::string &path, unsigned mode);

// Runs argv[0] (looked up in PATH) with standard input on /dev/null, collecting standard
// output and the first 64 KiB of standard error (either dropped when null). Returns the exit
// status, 128+signal, or -1 when it could not run.
int run_capture(const std::vector<std::string> &argv, std::string *out, std::string *err);

// SHA-256 of a file as lower-case hex, "" when it cannot be read; size in *size.
std::string sha256_file(const std::string &path, unsigned long long *size);

}  // namespace bwv::tools
