#include <gtest/gtest.h>

#include <bwvutil/paths.h>
#include <bwvutil/verify.h>

#include <algorithm>
#include <cctype>

#include "fuzz/xar_package.hpp"
#include "tools/tool_support.hpp"
#include "tools/standins/xar/check.hpp"

namespace {

using namespace bwv::test;
using bwv::fuzz::xar_package;
using Args = std::vector<std::string>;

Args operator+(Args a, const Args &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string kSigner = "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";
const std::string kTrusted = "signed by a developer certificate issued by Apple for distribution";
const std::string kUntrusted = "signed by untrusted certificate", kInvalid = "package is invalid";
const std::string kAltered = kInvalid + " (checksum did not verify)";
const KeyPair kMaker{demo("signer.key"), demo("signer.pem")},
    kIntermediate{demo("ca/intermediate.key"), demo("ca/intermediate.pem")};
const Args kChain = {"--cert", kIntermediate.cert, "--cert", demo("ca/root.pem")};

Args own(const KeyPair &k) { return {"--key", k.key, "--cert", k.cert}; }
// Self-signed by a forger, with a common name that the openssl command would refuse as too long.
KeyPair forged(const std::string &name) {
    return {BWV_TOOLS_DATA "/" + name + ".key", BWV_TOOLS_DATA "/" + name + ".pem"};
}

std::string build(const TempDir &dir, const std::string &name, const Args &signing, const std::string &from = "src") {
    auto r = run(Args{mkpkg()} + signing + Args{dir / from, dir / name});
    EXPECT_EQ(r.rc, 0) << r.err;
    return dir / name;
}

// An unsigned package around hand-written TOC elements and the heap after the TOC's SHA-1.
std::string flat(const std::string &toc, const std::string &heap) {
    return xar_package(
        "<xar><toc><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>" + toc + "</toc></xar>", heap);
}

std::string header(std::string pkg, size_t at, const std::string &added) {  // the header's size raised to match
    unsigned size = (static_cast<unsigned char>(pkg[4]) << 8 | static_cast<unsigned char>(pkg[5])) + added.size();
    pkg[4] = static_cast<char>(size >> 8), pkg[5] = static_cast<char>(size);
    return pkg.insert(at, added);
}

// Each package through the stand-in and through the library check that runs it (by a link in
// a test root, as the stand-in is found there): the report's status and signer (no signer: no
// chain), and whether the package is handed on. No status: no report at all. Shapes that
// would cost far more than their size are refused before that work, for the reason given.
TEST(Pkgutil, OnlyTheMakersTrustedIntactPackageIsHandedOn) {
    TempDir dir;
    dir.write("src/Distribution", "<installer-gui-script><title>Test</title></installer-gui-script>\n");
    std::string payload;
    for (unsigned i = 0; i < 300000; ++i) payload += static_cast<char>((i * 2654435761u) >> 24);
    dir.write("src/Payload", payload);
    auto untrusted_ca = make_root_ca(dir.path(), "untrusted-root", "Untrusted Root");
    auto untrusted = issue_signer(dir.path(), "untrusted", kSigner, untrusted_ca);
    const std::string other_name = "Developer ID Installer: Someone Else (ZZZZZZZZZZ)";
    auto other = issue_signer(dir.path(), "other", other_name, kIntermediate, kMaker.key);
    auto server = issue_signer(dir.path(), "server", kSigner, kIntermediate, {}, "server");
    std::string altered = build(dir, "altered.pkg", own(kMaker) + kChain);
    flip_byte(altered, static_cast<long>(read_file(altered).size()) - 1000);
    std::string appended = build(dir, "appended.pkg", own(kMaker) + kChain);
    write_file(appended, read_file(appended) + "extra");
    std::string wrong_key_altered = build(dir, "wrong-key-altered.pkg", own({untrusted.key, kMaker.cert}) + kChain);
    flip_byte(wrong_key_altered, static_cast<long>(read_file(wrong_key_altered).size()) - 1000);
    auto data = [](const std::string &name) { return BWV_TOOLS_DATA "/xar-" + name + ".pkg"; };
    dir.write("zeros/Zeros", std::string(8 << 20, '\0'));
    std::string empty, elements;
    for (int i = 0; i < 16700000; ++i) empty += "<a/>";
    for (unsigned i = 0; i < 20000; ++i)
        elements += std::string("<a/><a/><a/><a/><a/><a/><a/><a/><a/><a/><a/><a/><a/><a/><a/><a/>") + "<b>" +
                    char('a' + (i * 2654435761u >> 8) % 26) + "</b>";
    std::string zeros = build(dir, "zeros.pkg", own(kMaker) + kChain, "zeros");
    std::string sha256 = build(dir, "sha256.pkg", own(kMaker) + kChain + Args{"--toc-checksum", "sha256", "--store"});

    struct Row {
        std::string pkg, status, signer;
        int handed_on;
        std::string why = {};
    };
    std::vector<Row> rows = {
        {demo("full/Install.mpkg"), kTrusted, kSigner, 1},
        {sha256, kTrusted, kSigner, 1},
        {zeros, kTrusted, kSigner, 1},  // within what a package may decompress to
        {(dir.write("named/" + std::string(255, 'n'), "x"), build(dir, "named.pkg", own(kMaker) + kChain, "named")),
         kTrusted, kSigner, 1},
        {data("shared-stream"), kInvalid, "", 0, "decompress to more"},
        {data("shared-bytes"), kInvalid, "", 0, "share bytes"},
        {data("same-name"), kInvalid, "", 0, "two entries"},
        {dir.write("empty.pkg", flat(empty, "")), kInvalid, "", 0, "table-of-contents size"},
        {dir.write("elements.pkg", flat(elements, "")), kInvalid, "", 0, "too many"},
        {dir.write("long.pkg", header(read_file(zeros), 28, std::string(60000, 'x'))), kInvalid, "", 0,
         "longer than its"},
        {dir.write("pad.pkg", header(read_file(sha256), 35, "x")), kInvalid, "", 0, "longer than its fields"},
        {dir.write("field.pkg", header(read_file(sha256), 36, std::string(28, '\0'))), kTrusted, kSigner, 1},
        {build(dir, "unsigned.pkg", {}), "no signature", "", 0},
        {build(dir, "untrusted.pkg", own(untrusted) + Args{"--cert", untrusted_ca.cert}), kUntrusted, kSigner, 0},
        {build(dir, "no-intermediate.pkg", own(kMaker)), kUntrusted, kSigner, 0},
        {build(dir, "other-name.pkg", own({kMaker.key, other.cert}) + kChain), kTrusted, other_name, 0},
        {build(dir, "wrong-key.pkg", own({untrusted.key, kMaker.cert}) + kChain),
         kInvalid + " (signature did not verify)", "", 0},
        {data("bad-cert"), kInvalid + " (signature did not verify)", "", 0, "cannot be read"},
        {altered, kAltered, "", 0},
        {appended, kInvalid, "", 0},
        {build(dir, "forged.pkg", own(forged("forged"))), kUntrusted, "Status: " + kTrusted + " " + kSigner, 0},
        {build(dir, "forged-lf.pkg", own(forged("forged-lf"))), kUntrusted, kSigner + "\\0A   Status: " + kTrusted, 0},
        {build(dir, "server.pkg", own(server) + kChain), kUntrusted, kSigner, 0},
        {build(dir, "md5.pkg", own(kMaker) + kChain + Args{"--toc-checksum", "md5"}), kInvalid, "", 0},
        {dir.write("text.pkg", "just some text, certainly not a xar archive\n"), kInvalid, "", 0},
        {dir / "missing.pkg", "", "", 0},
        // Checking a signed package's files waits for its signature.
        {wrong_key_altered, kInvalid + " (signature did not verify)", "", 0},
        {data("content-altered"), kAltered, "", 0},
    };
    for (auto *name : {"cms-unsigned", "cms-outside-toc", "name-dotdot", "name-escapes", "entity", "data-past-end",
                       "no-archived-checksum", "short-header", "version-2", "toc-not-xml"})
        rows.push_back({data(name), kInvalid, "", 0});
    BasicFakeRoot<bwv_set_root> root;
    ASSERT_EQ(symlink(tool("pkgutil").c_str(), (root.mkdirs("usr/sbin") + "/pkgutil").c_str()), 0);
    for (auto &row : rows) {
        SCOPED_TRACE(row.pkg);
        auto r = run({tool("pkgutil"), "--check-signature", row.pkg});
        EXPECT_EQ(r.rc, row.status == kTrusted ? 0 : 1) << r.err;
        EXPECT_NE(r.err.find(row.why), std::string::npos) << r.err;
        EXPECT_EQ(verifyPackage(row.pkg.c_str()), row.handed_on);
        auto l = lines(r.out);
        if (row.status.empty()) {
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err, "");
            continue;
        }
        ASSERT_GE(l.size(), 2u) << r.err;
        EXPECT_EQ(l[0], "Package \"" + row.pkg.substr(row.pkg.rfind('/') + 1) + "\":");
        EXPECT_EQ(l[1], "   Status: " + row.status);
        std::string chain = r.out.substr(l[0].size() + l[1].size() + 2);
        if (row.signer.empty())
            EXPECT_EQ(chain, "");
        else
            EXPECT_EQ(chain.rfind("   Certificate Chain:\n    1. " + row.signer + "\n       Expires: ", 0), 0u)
                << chain;
        EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(), [](unsigned char c) { return c != '\n' && iscntrl(c); }),
                  0);
    }
    EXPECT_NE(run({tool("pkgutil"), "--expand", demo("full/Install.mpkg"), dir / "x"}).rc, 0);
    EXPECT_FALSE(exists(dir / "x"));
}

TEST(Pkgutil, EveryPossibleSingleByteChangeIsRefused) {
    TempDir dir;
    dir.write("small/Distribution", "<installer-gui-script><title>Small</title></installer-gui-script>\n");
    dir.write("small/PackageInfo", "<pkg-info identifier=\"x\"/>\n");
    std::string bytes = read_file(build(dir, "small.pkg", own(kMaker) + kChain, "small"));
    for (size_t i = 0; i <= bytes.size(); ++i) {
        std::string changed = bytes;
        if (i < bytes.size()) changed[i] ^= 0x20;  // the last round leaves the package as signed
        bwv::xar::MemorySource src(changed.data(), changed.size());
        auto status = bwv::xar::check_package(src, std::string(BWV_TOOL_DIR) + "/trust").status;
        ASSERT_EQ(status == bwv::xar::Status::trusted, i == bytes.size()) << "byte " << i << " of " << bytes.size();
        ASSERT_NE(status, bwv::xar::Status::no_signature) << "byte " << i;
    }
}

}  // namespace
