#include <gtest/gtest.h>
#include <zlib.h>

#include <openssl/evp.h>

#include <random>

#include "tools/tool_support.hpp"
#include "tools/xar/check.hpp"

namespace {

using namespace bwv::test;

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

        untrusted_ca = make_root_ca(dir->path, "untrusted-root", "Untrusted Root");
        untrusted_signer = issue_signer(dir->path, "untrusted-signer", kSigner, untrusted_ca);
        KeyPair intermediate{demo("ca/intermediate.key"), demo("ca/intermediate.pem")};
        other_name = issue_signer(dir->path, "other-name", "Developer ID Installer: Someone Else (ZZZZZZZZZZ)",
                                  intermediate, demo("signer.key"));
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    static std::vector<std::string> demo_chain() {
        return {"--cert", demo("signer.pem"), "--cert", demo("ca/intermediate.pem"), "--cert", demo("ca/root.pem")};
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

TEST_F(Pkgutil, TheDemoPackagesMadeByTheBuildAreGood) {
    for (auto *p : {"full/Install.mpkg", "vpn/Install.mpkg"}) {
        auto r = check(demo(p));
        EXPECT_EQ(r.rc, 0) << p << r.err;
        EXPECT_NE(r.out.find(kGoodStatus + "\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("    1. " + kSigner + "\n"), std::string::npos) << r.out;
    }
}

TEST_F(Pkgutil, UnsignedPackageReportsNoSignatureAndNoChain) {
    auto r = check(build("unsigned.pkg", {}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "Package \"unsigned.pkg\":\n   Status: no signature\n");
}

TEST_F(Pkgutil, ChainToAnUnknownRootIsUntrustedEvenWithTheMakersName) {
    auto r = check(build("untrusted.pkg", {"--key", untrusted_signer.key, "--cert", untrusted_signer.cert, "--cert",
                                           untrusted_ca.cert}));
    EXPECT_EQ(r.rc, 1);
    auto l = lines(r.out);
    ASSERT_GE(l.size(), 4u) << r.out;
    EXPECT_EQ(l[1], "   Status: signed by untrusted certificate");
    EXPECT_EQ(l[2], "   Certificate Chain:");
    EXPECT_EQ(l[3], "    1. " + kSigner);
    EXPECT_EQ(r.out.find("distribution"), std::string::npos);
}

TEST_F(Pkgutil, SignerWithoutItsIntermediateIsUntrusted) {
    auto r = check(build("no-intermediate.pkg", {"--key", demo("signer.key"), "--cert", demo("signer.pem")}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(lines(r.out).at(1), "   Status: signed by untrusted certificate");
}

TEST_F(Pkgutil, RightKeyWithAnotherCommonNameKeepsTheStatusButNamesThatSigner) {
    auto r = check(build("other-name.pkg", {"--key", demo("signer.key"), "--cert", other_name.cert, "--cert",
                                            demo("ca/intermediate.pem"), "--cert", demo("ca/root.pem")}));
    EXPECT_EQ(r.rc, 0);
    auto l = lines(r.out);
    ASSERT_GE(l.size(), 4u) << r.out;
    EXPECT_EQ(l[1], kGoodStatus);
    EXPECT_EQ(l[3], "    1. Developer ID Installer: Someone Else (ZZZZZZZZZZ)");
    EXPECT_EQ(r.out.find(kSigner), std::string::npos);
}

TEST_F(Pkgutil, SignatureMadeWithAnotherKeyDoesNotVerify) {
    auto r = check(build("wrong-key.pkg", {"--key", untrusted_signer.key, "--cert", demo("signer.pem"), "--cert",
                                           demo("ca/intermediate.pem")}));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "Package \"wrong-key.pkg\":\n   Status: package is invalid (signature did not verify)\n");
}

TEST_F(Pkgutil, OneAlteredByteInAFileIsACheckumFailure) {
    std::string pkg = signed_good("altered.pkg");
    flip_byte(pkg, static_cast<long>(read_file(pkg).size()) - 1000);
    auto r = check(pkg);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "Package \"altered.pkg\":\n   Status: package is invalid (checksum did not verify)\n");
    EXPECT_NE(r.err.find("does not match its checksum"), std::string::npos) << r.err;
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

TEST_F(Pkgutil, OtherChecksumsAndStoredFilesVerify) {
    std::vector<std::string> s = {"--key", demo("signer.key"), "--toc-checksum", "sha256", "--store"};
    for (auto &a : demo_chain()) s.push_back(a);
    auto r = check(build("sha256.pkg", s));
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(lines(r.out).at(1), kGoodStatus);
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
