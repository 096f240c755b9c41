// Running the tool stand-ins from tests: temporary folders, child processes with input and
// extra environment, certificates made with the openssl command.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bwv::test {

struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

struct RunResult {
    int rc = -1;
    std::string out, err;
};

using Env = std::vector<std::pair<std::string, std::string>>;

RunResult run(const std::vector<std::string> &argv, const std::string &input = {}, const Env &env = {},
              const std::string &cwd = {});

std::string tool(const std::string &name);  // a stand-in in the build's tool folder
std::string mkpkg();                        // the package builder
std::string demo(const std::string &rel);   // demo content made by the build

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
std::vector<std::string> lines(const std::string &text);
std::vector<std::string> list_dir(const std::string &path);  // sorted names
void remove_tree(const std::string &path);

// Every path under root (relative, sorted), with "/" after folders.
std::vector<std::string> walk(const std::string &root);

// Certificates for signing tests, made with openssl in dir.
struct KeyPair {
    std::string key, cert;
};
KeyPair make_root_ca(const std::string &dir, const std::string &name, const std::string &cn);
// kind: "signer" (digital signature, code signing) or "server" (TLS server).
KeyPair issue_signer(const std::string &dir, const std::string &name, const std::string &cn, const KeyPair &issuer,
                     const std::string &existing_key = {}, const std::string &kind = "signer");
// Self-signed, with any common name, however long or strange.
KeyPair self_signed(const std::string &dir, const std::string &name, const std::string &cn);

// Flips the bits of one byte of a file.
void flip_byte(const std::string &path, long offset);

}  // namespace bwv::test
