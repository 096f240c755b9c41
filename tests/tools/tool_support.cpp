#include "tools/tool_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace bwv::test {

std::string tool(const std::string &name) { return std::string(BWV_TOOL_DIR) + "/" + name; }
std::string mkpkg() { return BWV_MKPKG; }
std::string demo(const std::string &rel) { return std::string(BWV_DEMO_DIR) + "/" + rel; }

static void must(const RunResult &r, const std::string &what) {
    if (r.rc != 0) throw std::runtime_error(what + " failed: " + r.err);
}

static std::string extensions(const std::string &dir) {
    std::string path = dir + "/ext.cnf";
    write_file(path,
               "[req]\ndistinguished_name = dn\n[dn]\n"
               "[ca]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
               "subjectKeyIdentifier = hash\n"
               "[signer]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\n"
               "extendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
               "[server]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature, keyEncipherment\n"
               "extendedKeyUsage = serverAuth\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n");
    return path;
}

KeyPair make_root_ca(const std::string &dir, const std::string &name, const std::string &cn) {
    KeyPair kp{dir + "/" + name + ".key", dir + "/" + name + ".pem"};
    std::string ext = extensions(dir);
    must(run({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", kp.key}),
         "genpkey");
    must(run({"openssl", "req", "-new", "-x509", "-key", kp.key, "-sha256", "-days", "30", "-subj", "/CN=" + cn,
              "-config", ext, "-extensions", "ca", "-out", kp.cert}),
         "req");
    return kp;
}

KeyPair issue_signer(const std::string &dir, const std::string &name, const std::string &cn, const KeyPair &issuer,
                     const std::string &existing_key, const std::string &kind) {
    KeyPair kp{existing_key.empty() ? dir + "/" + name + ".key" : existing_key, dir + "/" + name + ".pem"};
    std::string ext = extensions(dir);
    if (existing_key.empty())
        must(run({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", kp.key}),
             "genpkey");
    std::string csr = dir + "/" + name + ".csr";
    must(run({"openssl", "req", "-new", "-key", kp.key, "-subj", "/CN=" + cn + "/O=Test", "-config", ext, "-out", csr}),
         "req");
    must(run({"openssl", "x509", "-req", "-in", csr, "-CA", issuer.cert, "-CAkey", issuer.key, "-set_serial", "7",
              "-days", "30", "-sha256", "-extfile", ext, "-extensions", kind, "-out", kp.cert}),
         "x509");
    return kp;
}

KeyPair self_signed(const std::string &dir, const std::string &name, const std::string &cn) {
    KeyPair kp{dir + "/" + name + ".key", dir + "/" + name + ".pem"};
    must(run({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", kp.key}),
         "genpkey");
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
                                    reinterpret_cast<const unsigned char *>(cn.data()), static_cast<int>(cn.size()),
                                    -1, 0) ||
        !X509_set_issuer_name(cert.get(), subject) || !X509_set_pubkey(cert.get(), key.get()) ||
        !X509_sign(cert.get(), key.get(), EVP_sha256()) || !PEM_write_X509(out.get(), cert.get()))
        throw std::runtime_error("cannot make the certificate " + kp.cert);
    return kp;
}

}  // namespace bwv::test
