// Builds a flat package (xar) from a folder, signed when a key and certificates are given.
// Used by the tests and to make the demo content.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tools/standins/xar/xar.hpp"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: bwv-mkpkg [--key KEY.pem --cert SIGNER.pem [--cert ISSUER.pem]...]\n"
                 "                 [--toc-checksum sha1|sha256|sha512] [--store] FOLDER OUTPUT.pkg\n"
                 "Certificates go into the package in the order given, the signer first.\n");
    return 2;
}

std::unique_ptr<FILE, decltype(&std::fclose)> open_file(const std::string &p) {
    return {std::fopen(p.c_str(), "r"), std::fclose};
}

}  // namespace

int main(int argc, char **argv) {
    bwv::xar::BuildOptions opt;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(nullptr, EVP_PKEY_free);
    std::string folder, out;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) return {};
            return argv[++i];
        };
        if (a == "--key") {
            std::string p = value();
            auto f = open_file(p);
            if (!f || !(key.reset(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr)), key)) {
                std::fprintf(stderr, "bwv-mkpkg: cannot read the private key %s\n", p.c_str());
                return 1;
            }
        } else if (a == "--cert") {
            std::string p = value();
            auto f = open_file(p);
            X509 *c = f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr;
            if (!c) {
                std::fprintf(stderr, "bwv-mkpkg: cannot read the certificate %s\n", p.c_str());
                return 1;
            }
            unsigned char *der = nullptr;
            int n = i2d_X509(c, &der);
            X509_free(c);
            if (n <= 0) return 1;
            opt.certificates.emplace_back(der, der + n);
            OPENSSL_free(der);
        } else if (a == "--toc-checksum") {
            opt.toc_hash = value();
        } else if (a == "--store") {
            opt.compress = false;
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else if (folder.empty()) {
            folder = a;
        } else if (out.empty()) {
            out = a;
        } else {
            return usage();
        }
    }
    if (folder.empty() || out.empty() || (key && opt.certificates.empty()) || (!key && !opt.certificates.empty()))
        return usage();
    opt.key = key.get();
    try {
        bwv::xar::build(folder, out, opt);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bwv-mkpkg: %s\n", e.what());
        return 1;
    }
    return 0;
}
