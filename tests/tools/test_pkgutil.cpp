#include <gtest/gtest.h>
#include <zlib.h>

#include <openssl/evp.h>

#include <bwvutil/paths.h>
#include <bwvutil/verify.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "tools/tool_support.hpp"
#include "tools/xar/check.hpp"

namespace {

using namespace bwv::test;

using Args = std::vector<std::string>;

Args operator+(Args a, const Args &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string kSigner = "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";
const std::string kGoodStatus = "   Status: signed by a developer certificate issued by Apple for distribution";

class Pkgutil : public ::testing::Test {
protected:
    static TempDir *dir;
    static KeyPair untrusted_ca, untrusted_signer, other_name;

    static void SetUpTestSuite() {
        dir = new TempDir;
        std::string src = *dir / "src";
        mkdir(src.c_str(), 0755);
        mkdir((src + "/Resources").c_str(), 0755);
        write_file(src + "/Distribution", "<installer-gui-script><title>Test</title></installer-gui-script>\n");
        write_file(src + "/Resources/Welcome.txt", "Welcome\n");
        std::mt19937 rng(42);
        std::string payload(300000, '\0');
        for (auto &c : payload) c = static_cast<char>(rng());
        write_file(src + "/Payload", payload);
        std::string small = *dir / "small";
        mkdir(small.c_str(), 0755);
        write_file(small + "/Distribution", "<installer-gui-script><title>Small</title></installer-gui-script>\n");
        write_file(small + "/PackageInfo", "<pkg-info identifier=\"x\"/>\n");

        untrusted_ca = make_root_ca(dir->path(), "untrusted-root", "Untrusted Root");
        untrusted_signer = issue_signer(dir->path(), "untrusted-signer", kSigner, untrusted_ca);
        KeyPair intermediate{demo("ca/intermediate.key"), demo("ca/intermediate.pem")};
        other_name = issue_signer(dir->path(), "other-name", "Developer ID Installer: Someone Else (ZZZZZZZZZZ)",
                                  intermediate, demo("signer.key"));
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    // The demo chain from its signer, or from its n-th issuer on.
    static std::vector<std::string> demo_chain(size_t from = 0) {
        std::vector<std::string> all = {"--cert", demo("signer.pem"), "--cert", demo("ca/intermediate.pem"),
                                        "--cert", demo("ca/root.pem")};
        return {all.begin() + static_cast<long>(2 * from), all.end()};
    }

    // Builds a package and returns its path; signing arguments as bwv-mkpkg takes them.
    static std::string build(const std::string &name, std::vector<std::string> signing,
                             const std::string &folder = "src") {
        std::string out = *dir / name;
        std::vector<std::string> argv = {mkpkg()};
        argv.insert(argv.end(), signing.begin(), signing.end());
        argv.push_back(*dir / folder);
        argv.push_back(out);
        auto r = run(argv);
        EXPECT_EQ(r.rc, 0) << r.err;
        return out;
    }

    static std::string signed_good(const std::string &name, const std::string &folder = "src") {
        std::vector<std::string> s = {"--key", demo("signer.key")};
        for (auto &a : demo_chain()) s.push_back(a);
        return build(name, s, folder);
    }

    static RunResult check(const std::string &pkg) { return run({tool("pkgutil"), "--check-signature", pkg}); }
};

TempDir *Pkgutil::dir = nullptr;
KeyPair Pkgutil::untrusted_ca, Pkgutil::untrusted_signer, Pkgutil::other_name;

TEST_F(Pkgutil, GoodPackageIsReportedAsDistributionSignedWithTheSignerFirst) {
    auto r = check(signed_good("Install.mpkg"));
    EXPECT_EQ(r.rc, 0) << r.err;
    auto l = lines(r.out);
    ASSERT_GE(l.size(), 8u) << r.out;
    EXPECT_EQ(l[0], "Package \"Install.mpkg\":");
    EXPECT_EQ(l[1], kGoodStatus);
    EXPECT_EQ(l[2], "   Certificate Chain:");
    EXPECT_EQ(l[3], "    1. " + kSigner);
    EXPECT_EQ(l[4].rfind("       Expires: ", 0), 0u);
    EXPECT_NE(r.out.find("    2. BrindleWave Demo Developer ID Certification Authority\n"), std::string::npos);
    EXPECT_NE(r.out.find("    3. BrindleWave Demo Root CA\n"), std::string::npos);
}

// Each package through the stand-in and through the library check that runs it (by a
// link in a test root, as the stand-in is found there): the report's status and signer,
// and whether the package is handed on.
TEST_F(Pkgutil, OnlyTheMakersTrustedIntactPackageIsHandedOn) {
    const std::string trusted = kGoodStatus.substr(11), untrusted = "signed by untrusted certificate";
    KeyPair intermediate{demo("ca/intermediate.key"), demo("ca/intermediate.pem")};
    auto server = issue_signer(dir->path(), "server", kSigner, intermediate, {}, "server");
    auto forged = self_signed(dir->path(), "forged", kGoodStatus.substr(3) + " " + kSigner);
    auto forged_lf = self_signed(dir->path(), "forged-lf", kSigner + "\n" + kGoodStatus);
    auto own = [](const KeyPair &k) { return Args{"--key", k.key, "--cert", k.cert}; };
    Args good = own({demo("signer.key"), demo("signer.pem")}) + demo_chain(1);
    std::string altered = signed_good("altered.pkg");
    flip_byte(altered, static_cast<long>(read_file(altered).size()) - 1000);

    struct Row {
        std::string pkg, status, signer;  // no signer: no chain in the report
        int handed_on;
    } rows[] = {
        {demo("full/Install.mpkg"), trusted, kSigner, 1},
        {demo("vpn/Install.mpkg"), trusted, kSigner, 1},
        {build("sha256.pkg", good + Args{"--toc-checksum", "sha256", "--store"}), trusted, kSigner, 1},
        {build("unsigned.pkg", {}), "no signature", "", 0},
        {build("untrusted.pkg", own(untrusted_signer) + Args{"--cert", untrusted_ca.cert}),
         untrusted, kSigner, 0},
        {build("no-intermediate.pkg", own({demo("signer.key"), demo("signer.pem")})), untrusted, kSigner, 0},
        {build("other-name.pkg", own({demo("signer.key"), other_name.cert}) + demo_chain(1)), trusted,
         "Developer ID Installer: Someone Else (ZZZZZZZZZZ)", 0},
        {build("wrong-key.pkg", own({untrusted_signer.key, demo("signer.pem")}) + demo_chain(1)),
         "package is invalid (signature did not verify)", "", 0},
        {altered, "package is invalid (checksum did not verify)", "", 0},
        {build("forged.pkg", own(forged)), untrusted, kGoodStatus.substr(3) + " " + kSigner, 0},
        {build("forged-lf.pkg", own(forged_lf)), untrusted, kSigner + "\\0A" + kGoodStatus, 0},
        {build("server.pkg", own(server) + demo_chain(1)), untrusted, kSigner, 0},
        {build("md5.pkg", good + Args{"--toc-checksum", "md5"}), "package is invalid", "", 0},
    };
    std::string root = *dir / "root";
    for (auto *d : {"", "/usr", "/usr/sbin"}) mkdir((root + d).c_str(), 0755);
    ASSERT_EQ(symlink(tool("pkgutil").c_str(), (root + "/usr/sbin/pkgutil").c_str()), 0);
    bwv_set_root(root.c_str());
    struct RootGuard {
        ~RootGuard() { bwv_set_root(nullptr); }
    } guard;
    for (auto &row : rows) {
        SCOPED_TRACE(row.pkg);
        auto r = check(row.pkg);
        auto l = lines(r.out);
        ASSERT_GE(l.size(), row.signer.empty() ? 2u : 4u) << r.out << r.err;
        EXPECT_EQ(l[1], "   Status: " + row.status);
        if (row.signer.empty())
            EXPECT_EQ(l.size(), 2u) << r.out;
        else
            EXPECT_EQ(l[3], "    1. " + row.signer);
        EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(), [](unsigned char c) { return c != '\n' && std::iscntrl(c); }), 0);
        EXPECT_EQ(r.rc, row.status == trusted ? 0 : 1) << r.err;
        EXPECT_EQ(verifyPackage(row.pkg.c_str()), row.handed_on);
    }
}

TEST_F(Pkgutil, EveryPossibleSingleByteChangeIsRefused) {
    std::string pkg = signed_good("sweep.pkg", "small");
    std::string bytes = read_file(pkg);
    std::string trust = std::string(BWV_TOOL_DIR) + "/trust";
    {
        bwv::xar::MemorySource src(bytes.data(), bytes.size());
        ASSERT_EQ(bwv::xar::check_package(src, trust).status, bwv::xar::Status::trusted);
    }
    int accepted = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::string changed = bytes;
        changed[i] = static_cast<char>(changed[i] ^ 0x20);
        bwv::xar::MemorySource src(changed.data(), changed.size());
        auto r = bwv::xar::check_package(src, trust);
        if (r.status == bwv::xar::Status::trusted || r.status == bwv::xar::Status::no_signature) {
            ++accepted;
            ADD_FAILURE() << "a change at byte " << i << " of " << bytes.size() << " was accepted";
            if (accepted > 5) break;
        }
    }
}

TEST_F(Pkgutil, BytesAppendedAfterTheLastFileMakeThePackageInvalid) {
    std::string pkg = signed_good("appended.pkg", "small");
    write_file(pkg, read_file(pkg) + "extra");
    auto r = check(pkg);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(lines(r.out).at(1), "   Status: package is invalid");
}

TEST_F(Pkgutil, MissingOrForeignFilesAreNotReportedAsSigned) {
    auto missing = check(*dir / "does-not-exist.pkg");
    EXPECT_EQ(missing.rc, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err, "");

    write_file(*dir / "text.pkg", "just some text, certainly not a xar archive\n");
    auto text = check(*dir / "text.pkg");
    EXPECT_EQ(text.rc, 1);
    EXPECT_EQ(text.out, "Package \"text.pkg\":\n   Status: package is invalid\n");

    auto usage = run({tool("pkgutil"), "--expand", *dir / "text.pkg", *dir / "x"});
    EXPECT_NE(usage.rc, 0);
    EXPECT_FALSE(exists(*dir / "x"));
}

// Hand-made archives: a header, the given TOC and the heap after the TOC checksum.
std::string craft(const std::string &toc, const std::string &heap_tail) {
    uLongf clen = compressBound(static_cast<uLong>(toc.size()));
    std::string ctoc(clen, '\0');
    compress2(reinterpret_cast<Bytef *>(ctoc.data()), &clen, reinterpret_cast<const Bytef *>(toc.data()),
              static_cast<uLong>(toc.size()), 9);
    ctoc.resize(clen);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned mdlen = 0;
    EVP_Digest(ctoc.data(), ctoc.size(), md, &mdlen, EVP_sha1(), nullptr);
    std::string h = "xar!";
    auto put = [&](uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) h += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    put(28, 2);
    put(1, 2);
    put(ctoc.size(), 8);
    put(toc.size(), 8);
    put(1, 4);
    return h + ctoc + std::string(reinterpret_cast<char *>(md), mdlen) + heap_tail;
}

std::string sha1_hex(const std::string &s) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(s.data(), s.size(), md, &n, EVP_sha1(), nullptr);
    static const char d[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < n; ++i) {
        hex += d[md[i] >> 4];
        hex += d[md[i] & 15];
    }
    return hex;
}

std::string file_toc(const std::string &name, const std::string &data, const std::string &extra = {}) {
    return "<?xml version=\"1.0\"?>\n" + extra +
           "<xar><toc><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>"
           "<file id=\"1\"><name>" +
           name + "</name><type>file</type><data><offset>20</offset><length>" + std::to_string(data.size()) +
           "</length><size>" + std::to_string(data.size()) +
           "</size><encoding style=\"application/octet-stream\"/><archived-checksum style=\"sha1\">" +
           sha1_hex(data) + "</archived-checksum><extracted-checksum style=\"sha1\">" + sha1_hex(data) +
           "</extracted-checksum></data></file></toc></xar>\n";
}

bwv::xar::Status status_of(const std::string &bytes) {
    bwv::xar::MemorySource src(bytes.data(), bytes.size());
    return bwv::xar::check_package(src, std::string(BWV_TOOL_DIR) + "/trust").status;
}

TEST(FlatPackageReader, HandMadeUnsignedArchiveIsReadAsUnsigned) {
    EXPECT_EQ(status_of(craft(file_toc("Distribution", "hello"), "hello")), bwv::xar::Status::no_signature);
}

TEST(FlatPackageReader, TheCmsSignatureOfMacPackagesCountsAsPartOfThePackage) {
    std::string toc = file_toc("x", "hello");
    EXPECT_EQ(status_of(craft(toc, "hello" "CMS")), bwv::xar::Status::invalid);
    toc.insert(toc.find("<file"), "<x-signature style=\"CMS\"><offset>25</offset><size>3</size></x-signature>");
    EXPECT_EQ(status_of(craft(toc, "hello" "CMS")), bwv::xar::Status::no_signature);
}

TEST(FlatPackageReader, ArchivesThatDoNotHoldTogetherAreInvalid) {
    using bwv::xar::Status;
    // A name that would lead out of the package folder.
    EXPECT_EQ(status_of(craft(file_toc("..", "hello"), "hello")), Status::invalid);
    EXPECT_EQ(status_of(craft(file_toc("a/../../b", "hello"), "hello")), Status::invalid);
    // Entity declarations have no place in a TOC.
    EXPECT_EQ(status_of(craft(file_toc("x", "hello", "<!DOCTYPE xar [<!ENTITY e \"boom\">]>\n"), "hello")),
              Status::invalid);
    // Data that reaches beyond the end of the file.
    EXPECT_EQ(status_of(craft(file_toc("x", "hello"), "hel")), Status::invalid);
    // A file whose stored bytes no checksum covers.
    std::string toc = file_toc("x", "hello");
    toc.replace(toc.find("<archived-checksum"), toc.find("</archived-checksum>") + 20 - toc.find("<archived-checksum"),
                "");
    EXPECT_EQ(status_of(craft(toc, "hello")), Status::invalid);
    // Truncated header, wrong version, and a TOC that is not XML.
    std::string good = craft(file_toc("x", "hello"), "hello");
    EXPECT_EQ(status_of(good.substr(0, 20)), Status::invalid);
    std::string v2 = good;
    v2[7] = 2;
    EXPECT_EQ(status_of(v2), Status::invalid);
    EXPECT_EQ(status_of(craft("<xar><toc>", "")), Status::invalid);
}

TEST(FlatPackageReader, ContentThatDiffersFromItsChecksumIsACheckumFailure) {
    EXPECT_EQ(status_of(craft(file_toc("x", "hello"), "hellO")), bwv::xar::Status::bad_checksum);
}

}  // namespace
