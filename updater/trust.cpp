#include "updater/trust.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "updater/feed.hpp"

namespace bwv::upd {
namespace {

constexpr std::string_view kLineStart = "<!-- bwv-signature ed25519 ";
constexpr std::string_view kLineEnd = " -->";
constexpr size_t kSignatureSize = 64;
constexpr char kSerialFile[] = "feed-serial";

struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct MdCtxFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

PkeyPtr read_key(const std::string &pem, bool is_private) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio || pem.size() > 1 << 16) return nullptr;
    PkeyPtr key(is_private ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                           : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return nullptr;
    return key;
}

std::optional<std::string> write_key(EVP_PKEY *key, bool is_private) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return std::nullopt;
    int ok = is_private ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                        : PEM_write_bio_PUBKEY(bio.get(), key);
    char *data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    if (ok != 1 || len <= 0) return std::nullopt;
    return std::string(data, static_cast<size_t>(len));
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1024) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    size_t pad = text.size() - text.find_last_not_of('=') - 1;
    out.resize(static_cast<size_t>(n) - std::min(pad, size_t{2}));
    return out;
}

bool private_to_me(const struct stat &st) { return st.st_uid == geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0; }

}  // namespace

SplitFeed split_feed(std::string_view document) {
    SplitFeed s;
    size_t at = document.find("<!-- bwv-signature ");
    s.body = document.substr(0, at);
    if (at == std::string_view::npos) return s;
    std::string_view line = document.substr(at);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    s.malformed = true;
    if ((at != 0 && document[at - 1] != '\n') || line.substr(0, kLineStart.size()) != kLineStart ||
        line.size() < kLineStart.size() + kLineEnd.size() || line.substr(line.size() - kLineEnd.size()) != kLineEnd)
        return s;
    std::string_view text = line.substr(kLineStart.size(), line.size() - kLineStart.size() - kLineEnd.size());
    auto raw = base64_decode(text);
    if (!raw || raw->size() != kSignatureSize) return s;
    s.signature = std::move(*raw);
    s.malformed = false;
    return s;
}

std::optional<std::string> sign_feed(std::string_view body, const std::string &private_pem) {
    PkeyPtr key = read_key(private_pem, true);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    unsigned char sig[kSignatureSize];
    size_t len = sizeof sig;
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), sig, &len, reinterpret_cast<const unsigned char *>(body.data()), body.size()) != 1 ||
        len != kSignatureSize)
        return std::nullopt;
    unsigned char text[2 * kSignatureSize];
    int n = EVP_EncodeBlock(text, sig, static_cast<int>(len));
    std::string doc(body);
    if (!doc.empty() && doc.back() != '\n') doc += '\n';
    doc.append(kLineStart).append(reinterpret_cast<char *>(text), static_cast<size_t>(n)).append(kLineEnd);
    doc += '\n';
    return doc;
}

bool signature_matches(std::string_view body, const std::string &signature,
                       const std::vector<std::string> &public_pems) {
    for (const auto &pem : public_pems) {
        PkeyPtr key = read_key(pem, false);
        MdCtxPtr ctx(EVP_MD_CTX_new());
        if (key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()), signature.size(),
                             reinterpret_cast<const unsigned char *>(body.data()), body.size()) == 1)
            return true;
    }
    return false;
}

TrustError verify_feed(std::string_view document, const std::vector<std::string> &public_pems, int64_t now,
                       std::string_view &body, uint64_t &serial) {
    SplitFeed s = split_feed(document);
    if (s.malformed) return TrustError::BadSignature;
    if (s.signature.empty()) return TrustError::Unsigned;
    if (!signature_matches(s.body, s.signature, public_pems)) return TrustError::BadSignature;
    auto v = feed_validity(s.body);
    if (!v) return TrustError::Invalid;
    if (now >= v->expires) return TrustError::Expired;
    body = s.body;
    serial = v->serial;
    return TrustError::None;
}

std::optional<KeyPair> generate_key() {
    EVP_PKEY *raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    PkeyPtr key(raw);
    if (!key) return std::nullopt;
    auto priv = write_key(key.get(), true), pub = write_key(key.get(), false);
    if (!priv || !pub) return std::nullopt;
    return KeyPair{*priv, *pub};
}

std::optional<std::string> public_key_of(const std::string &private_pem) {
    PkeyPtr key = read_key(private_pem, true);
    return key ? write_key(key.get(), false) : std::nullopt;
}

bool is_public_key(const std::string &pem) { return read_key(pem, false) != nullptr; }

std::string state_folder() {
    const char *xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/bwvupdate";
    const char *home = std::getenv("HOME");
    std::string base = home && *home == '/' ? home : "";
    if (base.empty()) {
        struct passwd pw {
        }, *found = nullptr;
        char buf[4096];
        if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            base = found->pw_dir;
    }
    return base.empty() ? std::string() : base + "/.local/state/bwvupdate";
}

std::optional<uint64_t> highest_serial(const std::string &folder) {
    struct stat st {};
    if (folder.empty()) return std::nullopt;
    if (lstat(folder.c_str(), &st) != 0) return errno == ENOENT ? std::optional<uint64_t>(0) : std::nullopt;
    if (!S_ISDIR(st.st_mode) || !private_to_me(st)) return std::nullopt;
    int fd = open((folder + "/" + kSerialFile).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? std::optional<uint64_t>(0) : std::nullopt;
    char buf[32];
    ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && private_to_me(st) ? read(fd, buf, sizeof buf) : -1;
    close(fd);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof buf)) return std::nullopt;
    uint64_t v = 0;
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n' && i == n - 1) break;
        if (buf[i] < '0' || buf[i] > '9' || v > (UINT64_MAX - 9) / 10) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(buf[i] - '0');
    }
    return v;
}

bool remember_serial(const std::string &folder, uint64_t serial) {
    if (folder.empty() || folder.front() != '/') return false;
    for (size_t at = 1; at <= folder.size(); ++at)
        if (at == folder.size() || folder[at] == '/') mkdir(folder.substr(0, at).c_str(), 0700);
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{dir};
    if (flock(dir, LOCK_EX) != 0) return false;
    auto current = highest_serial(folder);
    if (!current) return false;
    if (*current >= serial) return true;
    std::string temp = folder + "/." + kSerialFile + "-XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    std::string text = std::to_string(serial) + "\n";
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), (folder + "/" + kSerialFile).c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok;
}

}  // namespace bwv::upd
