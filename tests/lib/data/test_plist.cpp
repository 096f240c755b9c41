// Property lists and keyed archives against an independent reader, python3's plistlib
// (plist_oracle.py), over the files Apple's frameworks wrote (interop/, provenance in its
// SOURCES.md); and the hostile shapes every reader must refuse.
#include <bwvutil/dic.h>
#include <bwvutil/gmsg.h>

#include "lib/base/plist_guard.hpp"
#include "lib/core/keyed_archive.hpp"
#include "lib/core/plobj.hpp"
#include "support/bplist_bomb.hpp"
#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <map>
#include <memory>

namespace {

namespace pl = bwv::pl;
using namespace bwv::test;

using DicPtr = std::unique_ptr<dic, decltype([](dic *d) { dic_destroy(d); })>;

// What the oracle sees in each file (mode "canon" or "archive").
std::map<std::string, std::string> oracle(const char *mode, std::vector<std::string> files) {
    files.insert(files.begin(), mode);
    RunResult r = run_python("plist_oracle.py", files);
    EXPECT_EQ(r.rc, 0) << r.err;
    std::map<std::string, std::string> seen;
    for (const std::string &line : lines(r.out))
        seen[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    return seen;
}

// What the oracle reads in our XML and our binary writing of each value ("-" for none):
// so a value we read wrongly, or write wrongly in either form, shows against its source.
std::vector<std::string> written_back(const TempDir &dir, const std::vector<pl::Ref> &values) {
    std::vector<std::string> files, out;
    for (const pl::Ref &v : values)
        for (const std::string &bytes :
             v ? std::vector{pl::to_xml(v.get()), pl::to_binary(v.get())} : std::vector<std::string>{})
            files.push_back(dir.write("back" + std::to_string(files.size()), bytes));
    auto seen = oracle("canon", files);
    size_t k = 0;
    for (const pl::Ref &v : values) {
        const std::string x = v ? seen[files[k++]] : "-", b = v ? seen[files[k++]] : "-";
        out.push_back(x == b ? x : "xml " + x + " binary " + b);
    }
    return out;
}

// Loaded through a path and through a descriptor: null unless both load and agree.
DicPtr load_both(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    DicPtr d(dic_load_from_file(path.c_str())), from_fd(dic_load_from_fd(fd));
    close(fd);
    return d && from_fd && pl::equal(d->ref, from_fd->ref) ? std::move(d) : nullptr;
}

// The cases of a data file, two lines each after the comments: a text, and a python literal;
// each with the binary property list plistlib writes of the literal (plist_oracle.py dump).
std::vector<std::array<std::string, 3>> dumped(const TempDir &dir, const std::string &name) {
    std::vector<std::string> text, args{"dump"};
    for (const std::string &line : lines(read_file(BWV_TEST_DATA_DIR "/" + name)))
        if (line[0] != '#') text.push_back(line);
    for (size_t i = 1; i < text.size(); i += 2) args.insert(args.end(), {dir / std::to_string(i), text[i]});
    EXPECT_EQ(run_python("plist_oracle.py", args).rc, 0);
    std::vector<std::array<std::string, 3>> cases;
    for (size_t i = 1; i < text.size(); i += 2)
        cases.push_back({text[i - 1], text[i], read_file(dir / std::to_string(i))});
    return cases;
}

pl::Ref parse(std::string_view bytes) { return pl::Ref(pl::parse(bytes.data(), bytes.size(), true)); }
pl::Ref unarchive(std::string_view bytes) { return pl::Ref(bwv::archive::unarchive_root(bytes.data(), bytes.size())); }

// Every comparison in these tests rests on equality: values that differ in one respect only,
// in any kind, are unequal (plist_unequal.txt); numbers compare by value across kinds.
TEST(PlistValues, ThoseDifferingInOneRespectAreUnequal) {
    auto value = [](const std::string &v) { return parse("<plist>" + v + "</plist>"); };
    const std::vector<std::string> pairs = lines(read_file(BWV_TEST_DATA_DIR "/plist_unequal.txt"));
    ASSERT_EQ(pairs.size(), 11u);
    for (const std::string &pair : pairs) {
        const std::string a = pair.substr(0, pair.find('\t')), b = pair.substr(pair.find('\t') + 1);
        EXPECT_TRUE(pair[0] == '#' || (value(a) && value(b) && !pl::equal(value(a).get(), value(b).get()) &&
                                       !pl::equal(nullptr, value(a).get())))
            << pair;
    }
    EXPECT_TRUE(pl::equal(value("<integer>2</integer>").get(), value("<real>2.0</real>").get()));
}

// Text is UTF-8 up to its boundaries (RFC 3629): the first and last character of each
// length, either side of the surrogates, and past U+10FFFF; cut and stray bytes.
TEST(PlistValues, TextIsUtf8UpToItsBoundaries) {
    for (std::string ok : {"\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF",
                           "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(pl::valid_utf8(ok)) << testing::PrintToString(ok);
    for (std::string bad : {"\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF",
                            "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE2\x82", "\x80", "\xE2\x28\xA1"})
        EXPECT_FALSE(pl::valid_utf8(bad)) << testing::PrintToString(bad);
}

// The corpus and what plistlib itself writes of plist_samples.txt, read as plistlib reads
// them; plistlib's own XML we save byte for byte alike, over longer files.
TEST(PlistInterop, WeReadAndWriteAsPlistlibDoes) {
    TempDir dir, back;
    ASSERT_EQ(run_python("plist_oracle.py", {"write", dir.path()}).rc, 0);
    std::vector<std::string> files, archives, ours;
    for (const std::string sub : {"xml-plists", "binary-plists", "keyed-archives"})
        for (const std::string &name : list_dir(BWV_INTEROP_DIR "/" + sub))
            (sub[0] == 'k' ? archives : files).push_back(BWV_INTEROP_DIR "/" + sub + "/" + name);
    files.insert(files.end(), archives.begin(), archives.end());
    for (const std::string &name : list_dir(dir.path())) files.push_back(dir / name);
    ASSERT_EQ(files.size(), 20u + 22u);
    auto plain = oracle("canon", files);
    std::vector<pl::Ref> read;
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        read.push_back(parse(read_file(f)));
        ASSERT_TRUE(read.back());
        DicPtr d = load_both(f);
        EXPECT_TRUE(pl::kind(read.back().get()) == pl::Kind::Dict ? d && pl::equal(d->ref, read.back().get()) : !d)
            << "dictionary roots only";
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".bin") == 0) {
            int fd = open(back.write("fd.xml", std::string(100000, 'y')).c_str(), O_RDWR);
            EXPECT_EQ(dic_save_to_file(d.get(), back.write("f.xml", std::string(100000, 'y')).c_str()), 0);
            EXPECT_EQ(dic_save_to_fd(d.get(), fd) + close(fd), 0);
            const std::string xml = read_file(f.substr(0, f.size() - 4) + ".xml");
            EXPECT_TRUE(back.read("f.xml") == xml && back.read("fd.xml") == xml);
        }
    }
    auto seen = written_back(back, read);
    for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(seen[i], plain[files[i]]) << files[i];

    // Keyed archives: decoded as Foundation decodes them, and archived again by us, the
    // same values once more for the independent decoder.
    auto decoded = oracle("archive", archives);
    std::vector<pl::Ref> roots;
    std::vector<std::string> wants;
    for (const std::string &f : archives) {
        const std::string bytes = read_file(f), framed = std::string(12, '\0') + bytes + '\0';
        roots.push_back(unarchive(bytes));
        gmsg *m = gmsg_parse_buffer(framed.data(), static_cast<int>(framed.size()));
        EXPECT_EQ(pl::count(gmsg_content(m)), 2 + (roots.back() ? pl::count(roots.back().get()) : 0)) << f;
        gmsg_release(m);
        std::string again;
        if (roots.back() && bwv::archive::archive_root(roots.back().get(), again)) {
            ours.push_back(back.write(std::to_string(ours.size()), again));
            wants.push_back(decoded[f]);
        }
    }
    seen = written_back(back, roots);
    for (size_t i = 0; i < archives.size(); ++i) EXPECT_EQ(seen[i], decoded[archives[i]]) << archives[i];
    ASSERT_EQ(ours.size(), 5u) << "the dictionary-rooted archives of plain Foundation classes";
    auto rereads = oracle("archive", ours);
    for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(rereads[ours[i]], wants[i]);
}

// Forms Foundation writes that our writer never does, and damage (keyed_archive_cases.txt).
TEST(KeyedArchive, ForeignFormsDecodeAndDamageIsRefused) {
    TempDir dir;
    const auto cases = dumped(dir, "keyed_archive_cases.txt");
    ASSERT_EQ(cases.size(), 12u);
    std::vector<pl::Ref> roots;
    for (const auto &c : cases) roots.push_back(unarchive(c[2]));
    auto seen = written_back(dir, roots);
    for (size_t i = 0; i < roots.size(); ++i) EXPECT_EQ(seen[i], cases[i][0]) << cases[i][1];
}

// A valid archive of the string "hello" whose root dictionary also carries 2^levels
// copies of `leaf` under a key the reader never looks at.
std::string archive_with_bomb(int levels, const BplistObject &leaf, int ref_width = 0) {
    const uint64_t b = static_cast<uint64_t>(levels) + 3;
    return doubling_bomb(levels, leaf, "Bomb", {b, b + 2, b + 4, b + 8}, {b + 1, b + 3, b + 5, b + 9},
                         {bplist_string("$archiver"),
                          bplist_string("NSKeyedArchiver"),
                          bplist_string("$version"),
                          {std::string("\x12\x00\x01\x86\xa0", 5), {}},
                          bplist_string("$top"),
                          bplist_dict({b + 6}, {b + 7}),
                          bplist_string("root"),
                          {"\x80\x01", {}},
                          bplist_string("$objects"),
                          bplist_array({b + 10, b + 11}),
                          bplist_string("$null"),
                          bplist_string("hello")},
                         ref_width);
}

// Objects referred to over and over expand into far more than the file holds, and nesting
// exhausts the stack: every reader refuses such input before building anything, yet keeps
// what honest writers share.
TEST(PlistHostile, ExpansionBombsAndDeepNestingAreRefused) {
    auto chain = [](uint64_t n, uint64_t loop) {
        std::vector<BplistObject> objects{bplist_dict({1}, {2}), bplist_string("k")};
        for (uint64_t i = 2; i < n; ++i) objects.push_back(bplist_array({loop && i + 1 == n ? loop : i + 1}));
        objects.push_back(bplist_array({}));
        return bplist(objects);
    };
    // Each level holds the one below, once or twice.
    auto stacked = [](int levels, bool twice) {
        pl::Ref cur(pl::make_dict());
        for (int i = 0; i < levels; ++i) {
            pl::Ref up(pl::make_dict());
            for (const char *k : {"a", twice ? "b" : "a"}) pl::dict_set(up.get(), k, cur.get());
            cur = up;
        }
        return cur;
    };
    // n arrays deep, each opened with `open`, which may hide a closing tag from a careless count.
    auto xml_nested = [](int n, const std::string &open) {
        std::string x = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>";
        for (int i = 0; i < 2 * n; ++i) x += i < n ? open : "</array>";
        return x + "</dict></plist>";
    };
    std::string out;
    const std::string big(65536, 'x');
    struct Row {
        std::string shape, bytes;
        bool parses, decodes;
    };
    std::vector<Row> rows = {
        {"2^20 copies of a boolean", doubling_bomb(20, {"\x09", {}}), false, false},
        {"2^64 copies of a boolean", doubling_bomb(64, {"\x09", {}}), false, false},
        {"2^15 copies of a 4 KB string", doubling_bomb(15, bplist_string(std::string(4096, 'x'))), false, false},
        {"one string in 3000 places",
         bplist({bplist_dict({1}, {2}), bplist_string("Bomb"), bplist_array(std::vector<uint64_t>(3000, 3)),
                 bplist_string("a key")}),
         true, false},
        {"archive with 2^60 empty arrays", archive_with_bomb(60, bplist_array({})), false, false},
        {"archive with 2^12 copies of 64 KB", archive_with_bomb(12, bplist_string(big)), false, false},
        {"archive with 8 copies of 64 KB", archive_with_bomb(3, bplist_string(big)), true, true},
        {"archive with 8-byte references", archive_with_bomb(3, bplist_string("x"), 8), true, true},
        {"our archive of 40 levels each held twice", (bwv::archive::archive_root(stacked(40, true).get(), out), out),
         true, false},
        {"our archive nested as deep as allowed",
         (bwv::archive::archive_root(stacked(bwv::archive::kMaxDepth - 1, false).get(), out), out), true, true},
        {"binary nested 100000 deep", chain(100000, 0), false, false},
        // As deep as allowed, and one deeper: the binary limit counts the levels below the root.
        {"binary nested as deep as allowed", chain(pl::kMaxPlistDepth + 1, 0), true, false},
        {"binary nested one deeper", chain(pl::kMaxPlistDepth + 2, 0), false, false},
        {"XML nested as deep as allowed", xml_nested(pl::kMaxPlistDepth - 1, "<array>"), true, false},
        {"XML nested one deeper", xml_nested(pl::kMaxPlistDepth, "<array>"), false, false},
        {"an array that holds itself", chain(10, 5), false, false},
        {"an offset far past the file",
         std::string("bplist00\x7f\xff\xff\xff\xff\xff\xff\xff\0\0\0\0\0\0\x08\x01", 24) +
             std::string("\0\0\0\0\0\0\0\x01", 8) + std::string(15, '\0') + "\x08",
         false, false},
        // What libplist skips must not hide a closing tag from the count.
        {"XML 200000 deep, closing tags in comments", xml_nested(200000, "<array><!-- </array> -->"), false, false},
        {"XML 200000 deep, tags with an attribute", xml_nested(200000, "<array x>"), false, false},
        {"XML 200000 deep, closing tags in instructions", xml_nested(200000, "<array><?x </array> ?>"), false, false},
        {"XML 200000 deep, closing tags in a DOCTYPE", xml_nested(200000, "<array><!DOCTYPE x [ </array> ]>"), false,
         false},
        {"XML 500 deep with attributes, comments and CDATA",
         xml_nested(500, "<array a=\"1\"><!-- </array> --><string><![CDATA[</array>]]></string>"), true, false},
    };
    TempDir dir;
    for (const auto &[head, literal, bytes] : dumped(dir, "plist_hostile.txt"))
        rows.push_back({head.substr(4), bytes, head[0] == '1', head[2] == '1'});
    ASSERT_EQ(rows.size(), 27u);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.shape);
        EXPECT_EQ(static_cast<bool>(parse(r.bytes)), r.parses);
        EXPECT_EQ(static_cast<bool>(load_both(dir.write("f.plist", r.bytes))), r.parses);
        EXPECT_EQ(static_cast<bool>(unarchive(r.bytes)), r.decodes);
        EXPECT_TRUE(r.shape != "our archive of 40 levels each held twice" || r.bytes.size() < 4096)
            << "what is shared is written once";
    }
    EXPECT_FALSE(bwv::archive::archive_root(stacked(bwv::archive::kMaxDepth, false).get(), out));
    // {"CF$UID": n} is written as a UID in as few bytes as hold n, and read back as it was.
    for (int64_t n : {0xFFLL, 0x100LL, 0xFFFFLL, 0x10000LL, 0xFFFFFFFFLL}) {
        pl::Ref uid(pl::make_dict());
        pl::dict_set(uid.get(), "CF$UID", pl::Ref(pl::make_int(n)).get());
        EXPECT_TRUE(pl::equal(parse(pl::to_binary(uid.get())).get(), uid.get())) << n;
    }
    // A container that holds itself is written by no writer.
    pl::Ref loop(pl::make_dict());
    pl::dict_set(loop.get(), "self", loop.get());
    EXPECT_EQ(pl::to_xml(loop.get()) + pl::to_binary(loop.get()) + pl::description(loop.get()), "");
    EXPECT_FALSE(bwv::archive::archive_root(loop.get(), out));
    pl::dict_remove(loop.get(), "self");
    pl::dict_set(loop.get(), "cut", pl::Ref(pl::make_string(std::string_view("a\0b", 3))).get());
    EXPECT_FALSE(bwv::archive::archive_root(loop.get(), out)) << "a text with a NUL would be cut";
}

}  // namespace
