#include "tools/tool_support.hpp"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
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

std::string extensions(const std::string &dir) {
    write_file(
        dir + "/ext.cnf",
        "[req]\ndistinguished_name = dn\n[dn]\n"
        "[ca]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
        "subjectKeyIdentifier = hash\n"
        "[signer]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\n"
        "extendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
        "[server]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature, keyEncipherment\n"
        "extendedKeyUsage = serverAuth\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n");
    return dir + "/ext.cnf";
}

}  // namespace

KeyPair make_root_ca(const std::string &dir, const std::string &name, const std::string &cn) {
    KeyPair kp{dir + "/" + name + ".key", dir + "/" + name + ".pem"};
    new_key(kp.key);
    openssl({"req", "-new", "-x509", "-key", kp.key, "-sha256", "-days", "30", "-subj", "/CN=" + cn, "-config",
             extensions(dir), "-extensions", "ca", "-out", kp.cert});
    return kp;
}

KeyPair issue_signer(const std::string &dir, const std::string &name, const std::string &cn, const KeyPair &issuer,
                     const std::string &existing_key, const std::string &kind) {
    KeyPair kp{existing_key.empty() ? dir + "/" + name + ".key" : existing_key, dir + "/" + name + ".pem"};
    if (existing_key.empty()) new_key(kp.key);
    std::string csr = dir + "/" + name + ".csr", ext = extensions(dir);
    openssl({"req", "-new", "-key", kp.key, "-subj", "/CN=" + cn + "/O=Test", "-config", ext, "-out", csr});
    openssl({"x509", "-req", "-in", csr, "-CA", issuer.cert, "-CAkey", issuer.key, "-set_serial", "7", "-days", "30",
             "-sha256", "-extfile", ext, "-extensions", kind, "-out", kp.cert});
    return kp;
}

KeyPair self_signed(const std::string &dir, const std::string &name, const std::string &cn) {
    KeyPair kp{dir + "/" + name + ".key", dir + "/" + name + ".pem"};
    new_key(kp.key);
    // Made here rather than by the openssl command, which keeps a common name to 64
    // characters; a forger need not.
    std::unique_ptr<FILE, decltype(&std::fclose)> in(std::fopen(kp.key.c_str(), "r"), std::fclose);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        in ? PEM_read_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_NAME *subject = cert ? X509_get_subject_name(cert.get()) : nullptr;
    std::unique_ptr<FILE, decltype(&std::fclose)> out(std::fopen(kp.cert.c_str(), "w"), std::fclose);
    if (!key || !subject || !out || !X509_set_version(cert.get(), X509_VERSION_3) ||
        !ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 86400) ||
        !X509_NAME_add_entry_by_NID(subject, NID_commonName, V_ASN1_UTF8STRING,
                                    reinterpret_cast<const unsigned char *>(cn.data()), static_cast<int>(cn.size()), -1,
                                    0) ||
        !X509_set_issuer_name(cert.get(), subject) || !X509_set_pubkey(cert.get(), key.get()) ||
        !X509_sign(cert.get(), key.get(), EVP_sha256()) || !PEM_write_X509(out.get(), cert.get()))
        throw std::runtime_error("cannot make the certificate " + kp.cert);
    return kp;
}

}  // namespace bwv::test
