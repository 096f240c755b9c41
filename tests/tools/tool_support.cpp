#include "tools/tool_support.hpp"

#include <stdexcept>

namespace bwv::test {

std::string tool(const std::string &name) { return std::string(BWV_TOOL_DIR) + "/" + name; }
std::string mkpkg() { return BWV_MKPKG; }
std::string demo(const std::string &rel) { return std::string(BWV_DEMO_DIR) + "/" + rel; }

namespace {

void openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    auto r = run(args);
    if (r.rc != 0) throw std::runtime_error(args[1] + " failed: " + r.err);
}

void new_key(const std::string &path) {
    openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", path});
}

const std::string kExtensions = BWV_TOOLS_DATA "/extensions.cnf";

}  // namespace

KeyPair make_root_ca(const std::string &dir, const std::string &name, const std::string &cn) {
    KeyPair kp{dir + "/" + name + ".key", dir + "/" + name + ".pem"};
    new_key(kp.key);
    openssl({"req", "-new", "-x509", "-key", kp.key, "-sha256", "-days", "30", "-subj", "/CN=" + cn, "-config",
             kExtensions, "-extensions", "ca", "-out", kp.cert});
    return kp;
}

KeyPair issue_signer(const std::string &dir, const std::string &name, const std::string &cn, const KeyPair &issuer,
                     const std::string &existing_key, const std::string &kind) {
    KeyPair kp{existing_key.empty() ? dir + "/" + name + ".key" : existing_key, dir + "/" + name + ".pem"};
    if (existing_key.empty()) new_key(kp.key);
    std::string csr = dir + "/" + name + ".csr", ext = kExtensions;
    openssl({"req", "-new", "-key", kp.key, "-subj", "/CN=" + cn + "/O=Test", "-config", ext, "-out", csr});
    openssl({"x509", "-req", "-in", csr, "-CA", issuer.cert, "-CAkey", issuer.key, "-set_serial", "7", "-days", "30",
             "-sha256", "-extfile", ext, "-extensions", kind, "-out", kp.cert});
    return kp;
}

}  // namespace bwv::test
