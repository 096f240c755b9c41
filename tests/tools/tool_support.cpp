#include "tools/tool_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <signal.h>
#include <sstream>
#include <stdexcept>

namespace bwv::test {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/bwv-tools-test-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path = templ;
}

TempDir::~TempDir() { remove_tree(path); }

void remove_tree(const std::string &path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (auto &n : list_dir(path)) remove_tree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

RunResult run(const std::vector<std::string> &argv, const std::string &input, const Env &env,
              const std::string &cwd) {
    RunResult r;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (auto &e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    std::string *sinks[2] = {&r.out, &r.err};
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    char buf[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents) {
            ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    if (fds[2].fd >= 0) close(fds[2].fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string tool(const std::string &name) { return std::string(BWV_TOOL_DIR) + "/" + name; }
std::string mkpkg() { return BWV_MKPKG; }
std::string demo(const std::string &rel) { return std::string(BWV_DEMO_DIR) + "/" + rel; }

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) v.push_back(l);
    return v;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *de = readdir(d)) {
            std::string n = de->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

static void walk_into(const std::string &root, const std::string &rel, std::vector<std::string> &out) {
    for (auto &n : list_dir(rel.empty() ? root : root + "/" + rel)) {
        std::string r = rel.empty() ? n : rel + "/" + n;
        struct stat st{};
        lstat((root + "/" + r).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            out.push_back(r + "/");
            walk_into(root, r, out);
        } else {
            out.push_back(r);
        }
    }
}

std::vector<std::string> walk(const std::string &root) {
    std::vector<std::string> out;
    walk_into(root, "", out);
    return out;
}

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

void flip_byte(const std::string &path, long offset) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(offset);
    char c = 0;
    f.get(c);
    f.seekp(offset);
    f.put(static_cast<char>(c ^ 0x01));
    if (!f) throw std::runtime_error("cannot alter " + path);
}

}  // namespace bwv::test
