#include "tools/standins/xar/check.hpp"

#include <dirent.h>

#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

namespace bwv::xar {
namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

struct X509Stack {
    STACK_OF(X509) *sk = sk_X509_new_null();
    ~X509Stack() { sk_X509_pop_free(sk, X509_free); }
};

std::string common_name(X509 *cert) {
    X509_NAME *name = X509_get_subject_name(cert);
    int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (idx < 0) return {};
    ASN1_STRING *data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
    unsigned char *utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n < 0) return {};
    std::string r(reinterpret_cast<char *>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return r;
}

// The signer's certificate may sign packages: a digital-signature key, and where it names
// its uses, the installer-package or code-signing one. The authority that vouches for a
// name may well have issued that name a certificate for something else, a TLS server say.
bool signs_packages(X509 *leaf) {
    uint32_t flags = X509_get_extension_flags(leaf);
    if (flags & EXFLAG_INVALID) return false;
    if (!(flags & EXFLAG_KUSAGE) || !(X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE)) return false;
    if (!(flags & EXFLAG_XKUSAGE)) return true;
    std::unique_ptr<EXTENDED_KEY_USAGE, decltype(&EXTENDED_KEY_USAGE_free)> eku(
        static_cast<EXTENDED_KEY_USAGE *>(X509_get_ext_d2i(leaf, NID_ext_key_usage, nullptr, nullptr)),
        EXTENDED_KEY_USAGE_free);
    if (!eku) return false;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i) {
        const ASN1_OBJECT *use = sk_ASN1_OBJECT_value(eku.get(), i);
        char oid[80];
        if (OBJ_obj2txt(oid, sizeof oid, use, 1) <= 0) continue;
        // Installer package signing as Apple's authorities issue it, or code signing.
        if (std::strcmp(oid, "1.2.840.113635.100.4.13") == 0 || OBJ_obj2nid(use) == NID_code_sign) return true;
    }
    return false;
}

CertInfo describe(X509 *cert) {
    CertInfo ci;
    ci.common_name = printable(common_name(cert));
    std::tm tm{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) == 1) {
        char buf[40];
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
        ci.expires = buf;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (X509_digest(cert, EVP_sha256(), md, &len)) {
        char hex[4];
        for (unsigned i = 0; i < len; ++i) {
            std::snprintf(hex, sizeof hex, "%02X", md[i]);
            if (i) ci.sha256 += ' ';
            ci.sha256 += hex;
        }
    }
    return ci;
}

bool load_anchors(X509_STORE *store, const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool any = false;
    while (dirent *de = readdir(d)) {
        std::string n = de->d_name;
        auto ends = [&](const char *suffix) {
            size_t l = std::strlen(suffix);
            return n.size() > l && n.compare(n.size() - l, l, suffix) == 0;
        };
        if (!ends(".pem") && !ends(".crt") && !ends(".cer")) continue;
        if (X509_STORE_load_file(store, (dir + "/" + n).c_str()) == 1) any = true;
    }
    closedir(d);
    ERR_clear_error();
    return any;
}

bool signature_verifies(X509 *leaf, const Bytes &digest, const Bytes &sig, const EVP_MD *md) {
    EVP_PKEY *key = X509_get0_pubkey(leaf);
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
    // The signature block holds the signature and nothing beside it.
    if (sig.size() != static_cast<size_t>(EVP_PKEY_get_size(key))) return false;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0 &&
              EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace

std::string printable(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(text.size());
    auto escape = [&](unsigned char c) {
        r += '\\';
        r += hex[c >> 4];
        r += hex[c & 15];
    };
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c < 0x20 || c == 0x7F || c == '\\') {
            escape(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F
            escape(c);
            escape(next);
            ++i;
        } else {
            r += static_cast<char>(c);
        }
    }
    return r;
}

const char *status_text(Status s) {
    switch (s) {
        case Status::trusted:
            return "signed by a developer certificate issued by Apple for distribution";
        case Status::no_signature:
            return "no signature";
        case Status::untrusted:
            return "signed by untrusted certificate";
        case Status::expired:
            return "signed by a certificate that has since expired";
        case Status::bad_signature:
            return "package is invalid (signature did not verify)";
        case Status::bad_checksum:
            return "package is invalid (checksum did not verify)";
        case Status::invalid:
            return "package is invalid";
        case Status::unreadable:
            return "package could not be read";
    }
    return "package is invalid";
}

namespace {

// Checking files is the costly part, so a signed package earns it only with a
// signature that verifies under a chain that holds.
bool files_hold(const Source &src, const Package &pkg, CheckResult &r) {
    std::string bad;
    if (file_checksums_match(src, pkg, &bad)) return true;
    r.chain.clear();
    r.status = Status::bad_checksum;
    r.detail = "file " + bad + " does not match its checksum";
    return false;
}

// Each certificate must be exactly one DER record; false, with r saying so, when one is not.
bool read_certificates(const Package &pkg, X509Stack &certs, CheckResult &r) {
    for (auto &der : pkg.certificates) {
        const unsigned char *p = der.data();
        X509 *c = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        if (!c || p != der.data() + der.size()) {
            X509_free(c);
            ERR_clear_error();
            r.status = Status::bad_signature;
            r.detail = "a certificate of the signature cannot be read";
            return false;
        }
        sk_X509_push(certs.sk, c);
    }
    return true;
}

// The chain from the signer's certificate to an anchor in trust_dir; the chain built when
// it holds, else the package's own certificates, go into r beside the verdict.
void judge_chain(X509 *leaf, const X509Stack &certs, const std::string &trust_dir, CheckResult &r) {
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!store || !ctx) throw std::bad_alloc();
    bool anchors = load_anchors(store.get(), trust_dir);
    X509Stack untrusted;
    for (int i = 1; i < sk_X509_num(certs.sk); ++i) {
        X509 *c = sk_X509_value(certs.sk, i);
        X509_up_ref(c);
        sk_X509_push(untrusted.sk, c);
    }
    int ok = 0;
    if (anchors && X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.sk) == 1)
        ok = X509_verify_cert(ctx.get());
    if (ok == 1) {
        if (signs_packages(leaf)) {
            r.status = Status::trusted;
        } else {
            r.status = Status::untrusted;
            r.detail = "the signer's certificate is not one for signing packages";
        }
        STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; i < sk_X509_num(chain); ++i) r.chain.push_back(describe(sk_X509_value(chain, i)));
    } else {
        int err = anchors ? X509_STORE_CTX_get_error(ctx.get()) : X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
        r.status = err == X509_V_ERR_CERT_HAS_EXPIRED ? Status::expired : Status::untrusted;
        r.detail = anchors ? X509_verify_cert_error_string(err) : "no trust anchors in " + trust_dir;
        for (int i = 0; i < sk_X509_num(certs.sk); ++i) r.chain.push_back(describe(sk_X509_value(certs.sk, i)));
    }
    ERR_clear_error();
}

// A package whose TOC matches its checksum and that carries a signature: the signature,
// then its chain, then, only when both hold, the files.
void check_signed(const Source &src, const Package &pkg, const Bytes &digest, const std::string &trust_dir,
                  CheckResult &r) {
    if (pkg.signature_style != "RSA" || pkg.certificates.empty()) {
        r.status = Status::bad_signature;
        r.detail = "the signature is not an RSA signature with a certificate";
        return;
    }
    X509Stack certs;
    if (!read_certificates(pkg, certs, r)) return;
    X509 *leaf = sk_X509_value(certs.sk, 0);
    Bytes sig = read_heap(src, pkg, pkg.signature_offset, pkg.signature_size);
    if (!signature_verifies(leaf, digest, sig, digest_by_name(pkg.toc_hash))) {
        r.status = Status::bad_signature;
        r.detail = "the signature does not verify with the signer's certificate";
        return;
    }
    judge_chain(leaf, certs, trust_dir, r);
    if (r.status == Status::trusted || r.status == Status::expired) files_hold(src, pkg, r);
}

}  // namespace

CheckResult check_package(const Source &src, const std::string &trust_dir) {
    CheckResult r;
    Package pkg;
    try {
        pkg = parse(src);
        // An MD5 checksum no longer binds the signature to one table of contents.
        if (pkg.toc_hash == "md5") {
            r.status = Status::invalid;
            r.detail = "the table of contents has an MD5 checksum, which does not protect it";
            return r;
        }
        Bytes digest;
        if (!toc_checksum_matches(src, pkg, &digest)) {
            r.status = Status::bad_checksum;
            r.detail = "the table of contents does not match its checksum";
            return r;
        }
        if (!pkg.has_signature) {
            if (files_hold(src, pkg, r)) r.status = Status::no_signature;
            return r;
        }
        check_signed(src, pkg, digest, trust_dir, r);
        return r;
    } catch (const Error &e) {
        r.chain.clear();
        r.detail = e.what();
        switch (e.problem) {
            case Problem::unreadable:
                r.status = Status::unreadable;
                break;
            case Problem::checksum:
                r.status = Status::bad_checksum;
                break;
            default:
                r.status = Status::invalid;
                break;
        }
        return r;
    }
}
CheckResult check_package_file(const std::string &path, const std::string &trust_dir) {
    try {
        FileSource src(path);
        return check_package(src, trust_dir);
    } catch (const Error &e) {
        CheckResult r;
        r.status = Status::unreadable;
        r.detail = e.what();
        return r;
    }
}

std::string format_report(const std::string &package_name, const CheckResult &r) {
    std::string s = "Package \"" + printable(package_name) + "\":\n";
    s += "   Status: ";
    s += status_text(r.status);
    s += "\n";
    if (r.chain.empty()) return s;
    s += "   Certificate Chain:\n";
    for (size_t i = 0; i < r.chain.size(); ++i) {
        const CertInfo &c = r.chain[i];
        s += "    " + std::to_string(i + 1) + ". " + c.common_name + "\n";
        s += "       Expires: " + c.expires + "\n";
        s += "       SHA256 Fingerprint:\n";
        // 22 bytes on the first line, the rest on the next, as pkgutil wraps them.
        std::string fp = c.sha256;
        size_t cut = 22 * 3;
        if (fp.size() > cut) {
            s += "           " + fp.substr(0, cut) + "\n";
            s += "           " + fp.substr(cut) + "\n";
        } else {
            s += "           " + fp + "\n";
        }
        if (i + 1 < r.chain.size())
            s += "       ------------------------------------------------------------------------\n";
    }
    s += "\n";
    return s;
}

}  // namespace bwv::xar
