// Property lists and keyed archives against an independent reader, python3's plistlib
// (plist_oracle.py), over the files Apple's frameworks wrote (interop/, provenance in its
// SOURCES.md); and the hostile shapes every reader must refuse.
#include <bwvutil/dic.h>
#include <bwvutil/gmsg.h>

#include "platform/core/keyed_archive.hpp"
#include "platform/core/plobj_impl.hpp"
#include "support/bplist_bomb.hpp"
#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <memory>

namespace {

namespace pl = bwv::pl;
using namespace bwv::test;

struct DicDeleter {
    void operator()(dic *d) const { dic_destroy(d); }
};
using DicPtr = std::unique_ptr<dic, DicDeleter>;

std::string hex(const void *p, size_t n)
{
    std::string out;
    for (const auto *c = static_cast<const uint8_t *>(p); n--; ++c)
        out += {"0123456789abcdef"[*c >> 4], "0123456789abcdef"[*c & 15]};
    return out;
}

// Mirrors canon() of plist_oracle.py.
std::string canon(const plobj *o)
{
    std::string out;
    switch (pl::kind(o)) {
    case pl::Kind::Boolean:
        return pl::bool_value(o) ? "T" : "F";
    case pl::Kind::Integer:
        return "i" + (pl::int_is_unsigned(o) ? std::to_string(static_cast<uint64_t>(pl::int_value(o)))
                                             : std::to_string(pl::int_value(o)));
    case pl::Kind::Real:
        return "r" + pl::detail::format_real(pl::real_value(o));
    case pl::Kind::String:
        return "s" + hex(pl::string_value(o).data(), pl::string_value(o).size());
    case pl::Kind::Data:
        return "d" + hex(pl::data_value(o).data(), pl::data_value(o).size());
    case pl::Kind::Date:
        return "t" + std::to_string(static_cast<int64_t>(std::floor(pl::date_value(o))));
    case pl::Kind::Array:
        for (size_t i = 0; i < pl::count(o); ++i)
            out += (i ? "," : "") + canon(pl::array_at(o, i));
        return "[" + out + "]";
    case pl::Kind::Dict:
        for (auto &[k, v] : pl::dict_entries(o))
            out += (out.empty() ? "s" : ",s") + hex(k.data(), k.size()) + ":" + canon(v);
        return "{" + out + "}";
    }
    return "?";
}

// What the oracle sees in each file (mode "canon" or "archive").
std::map<std::string, std::string> oracle(const char *mode, std::vector<std::string> files)
{
    files.insert(files.begin(), mode);
    RunResult r = run_python("plist_oracle.py", files);
    EXPECT_EQ(r.rc, 0) << r.err;
    std::map<std::string, std::string> seen;
    for (const std::string &line : lines(r.out))
        seen[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    return seen;
}

// Loaded through a path and through a descriptor: null unless both load and agree.
DicPtr load_both(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    DicPtr d(dic_load_from_file(path.c_str())), from_fd(dic_load_from_fd(fd));
    close(fd);
    return d && from_fd && pl::equal(d->ref, from_fd->ref) ? std::move(d) : nullptr;
}

pl::Ref parse(std::string_view bytes) { return pl::Ref(pl::parse(bytes.data(), bytes.size(), true)); }
pl::Ref unarchive(std::string_view bytes) { return pl::Ref(bwv::archive::unarchive_root(bytes.data(), bytes.size())); }

TEST(PlistInterop, TheCorpusReadsAsPlistlibReadsItAndWritesBackEqual)
{
    ASSERT_TRUE(have_python3());
    std::vector<std::string> files, archives, ours;
    for (const std::string sub : {"xml-plists", "binary-plists", "keyed-archives"})
        for (const std::string &name : list_dir(BWV_INTEROP_DIR "/" + sub))
            (sub[0] == 'k' ? archives : files).push_back(BWV_INTEROP_DIR "/" + sub + "/" + name);
    files.insert(files.end(), archives.begin(), archives.end());
    ASSERT_EQ(files.size(), 20u);
    auto plain = oracle("canon", files);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        pl::Ref o = parse(read_file(f));
        ASSERT_TRUE(o);
        EXPECT_EQ(canon(o.get()), plain[f]);
        EXPECT_TRUE(pl::equal(parse(pl::to_binary(o.get())).get(), o.get()));
        EXPECT_TRUE(pl::equal(parse(pl::to_xml(o.get())).get(), o.get()));
        DicPtr d = load_both(f);
        EXPECT_TRUE(pl::kind(o.get()) == pl::Kind::Dict ? d && pl::equal(d->ref, o.get()) : !d) << "dictionary roots only";
    }

    // Keyed archives: decoded as Foundation decodes them, and archived again by us, the
    // same values once more for the independent decoder.
    TempDir dir;
    auto decoded = oracle("archive", archives);
    std::vector<std::string> wants;
    for (const std::string &f : archives) {
        SCOPED_TRACE(f);
        const std::string bytes = read_file(f), framed = std::string(12, '\0') + bytes + '\0';
        pl::Ref root = unarchive(bytes);
        EXPECT_EQ(root ? canon(root.get()) : "-", decoded[f]);
        gmsg *m = gmsg_parse_buffer(framed.data(), static_cast<int>(framed.size()));
        EXPECT_EQ(pl::count(gmsg_content(m)), 2 + (root ? pl::count(root.get()) : 0)) << "types and the root's keys";
        gmsg_release(m);
        std::string again;
        if (root && bwv::archive::archive_root(root.get(), again)) {
            ours.push_back(dir.write(std::to_string(ours.size()), again));
            wants.push_back(decoded[f]);
        }
    }
    ASSERT_EQ(ours.size(), 5u) << "the dictionary-rooted archives of plain Foundation classes";
    auto rereads = oracle("archive", ours);
    for (size_t i = 0; i < ours.size(); ++i)
        EXPECT_EQ(rereads[ours[i]], wants[i]);
}

TEST(PlistInterop, WhatPlistlibWritesWeReadAndWriteAlike)
{
    TempDir dir;
    ASSERT_EQ(run_python("plist_oracle.py", {"write", dir.path()}).rc, 0);
    std::vector<std::string> files;
    for (int i = 0; dir.exists("case-" + std::to_string(i) + ".xml"); ++i) {
        const std::string base = dir / ("case-" + std::to_string(i));
        SCOPED_TRACE(base);
        DicPtr x = load_both(base + ".xml"), b = load_both(base + ".bin");
        ASSERT_TRUE(x && b);
        EXPECT_TRUE(pl::equal(x->ref, b->ref));
        // Saved over longer files, through a path and a descriptor: byte for byte plistlib's.
        write_file(base + ".ours.xml", std::string(100000, 'y'));
        int fd = open(dir.write("fd.xml", std::string(100000, 'y')).c_str(), O_RDWR);
        ASSERT_EQ(dic_save_to_file(b.get(), (base + ".ours.xml").c_str()) + dic_save_to_fd(x.get(), fd), 0);
        lseek(fd, 0, SEEK_SET);
        DicPtr from_fd(dic_load_from_fd(fd));
        close(fd);
        EXPECT_TRUE(from_fd && pl::equal(from_fd->ref, x->ref));
        EXPECT_EQ(read_file(base + ".ours.xml"), read_file(base + ".xml"));
        EXPECT_EQ(dir.read("fd.xml"), read_file(base + ".xml"));
        write_file(base + ".ours.bin", pl::to_binary(x->ref));
        files.insert(files.end(), {base + ".xml", base + ".ours.bin"});
    }
    ASSERT_EQ(files.size(), 22u);
    auto seen = oracle("canon", files);
    for (size_t i = 0; i < files.size(); i += 2)
        EXPECT_EQ(seen[files[i + 1]], seen[files[i]]) << files[i + 1];
}

// Forms Foundation writes that our writer never does, and damage (keyed_archive_cases.txt).
TEST(KeyedArchive, ForeignFormsDecodeAndDamageIsRefused)
{
    TempDir dir;
    std::vector<std::string> cases, args{"dump"};
    for (const std::string &line : lines(read_file(BWV_TEST_DATA_DIR "/keyed_archive_cases.txt")))
        if (line[0] != '#')
            cases.push_back(line);
    for (size_t i = 0; i + 2 < cases.size(); i += 3)
        args.insert(args.end(), {dir / std::to_string(i), "{'$version': 100000, '$archiver': '" + cases[i + 1] +
                                 "', '$top': {'root': U(1)}, '$objects': ['$null', " + cases[i + 2] + "]}"});
    ASSERT_EQ(args.size(), 21u);
    ASSERT_EQ(run_python("plist_oracle.py", args).rc, 0);
    for (size_t i = 0; i + 2 < cases.size(); i += 3) {
        pl::Ref root = unarchive(read_file(dir / std::to_string(i)));
        EXPECT_EQ(root ? canon(root.get()) : "-", cases[i]) << cases[i + 2];
    }
}

// A valid archive of the string "hello" whose root dictionary also carries 2^levels
// copies of `leaf` under a key the reader never looks at.
std::string archive_with_bomb(int levels, const BplistObject &leaf)
{
    const uint64_t b = static_cast<uint64_t>(levels) + 3;
    return doubling_bomb(levels, leaf, "Bomb", {b, b + 2, b + 4, b + 8}, {b + 1, b + 3, b + 5, b + 9},
                         {bplist_string("$archiver"), bplist_string("NSKeyedArchiver"), bplist_string("$version"),
                          {std::string("\x12\x00\x01\x86\xa0", 5), {}}, bplist_string("$top"), bplist_dict({b + 6}, {b + 7}),
                          bplist_string("root"), {"\x80\x01", {}}, bplist_string("$objects"),
                          bplist_array({b + 10, b + 11}), bplist_string("$null"), bplist_string("hello")});
}

// Objects referred to over and over expand into far more than the file holds, and nesting
// exhausts the stack: every reader refuses such input before building anything, yet keeps
// what honest writers share.
TEST(PlistHostile, ExpansionBombsAndDeepNestingAreRefused)
{
    auto chain = [](uint64_t n, uint64_t loop) {
        std::vector<BplistObject> objects{bplist_dict({1}, {2}), bplist_string("k")};
        for (uint64_t i = 2; i < n; ++i)
            objects.push_back(bplist_array({loop && i + 1 == n ? loop : i + 1}));
        objects.push_back(bplist_array({}));
        return bplist(objects);
    };
    // Each level holds the one below, once or twice.
    auto stacked = [](int levels, bool twice) {
        pl::Ref cur(pl::make_dict());
        for (int i = 0; i < levels; ++i) {
            pl::Ref up(pl::make_dict());
            for (const char *k : {"a", twice ? "b" : "a"})
                pl::dict_set(up.get(), k, cur.get());
            cur = up;
        }
        return cur;
    };
    std::string out, deep_xml = "<plist version=\"1.0\"><dict><key>k</key>";
    for (int i = 0; i < 200000; ++i)
        deep_xml += i < 100000 ? "<array>" : "</array>";
    const std::string big(65536, 'x');
    const struct { const char *shape; std::string bytes; bool parses, decodes; } rows[] = {
        {"2^20 copies of a boolean", doubling_bomb(20, {"\x09", {}}), false, false},
        {"2^64 copies of a boolean", doubling_bomb(64, {"\x09", {}}), false, false},
        {"2^15 copies of a 4 KB string", doubling_bomb(15, bplist_string(std::string(4096, 'x'))), false, false},
        {"one string in 3000 places", bplist({bplist_dict({1}, {2}), bplist_string("Bomb"),
                                              bplist_array(std::vector<uint64_t>(3000, 3)), bplist_string("a key")}),
         true, false},
        {"archive with 2^60 empty arrays", archive_with_bomb(60, bplist_array({})), false, false},
        {"archive with 2^12 copies of 64 KB", archive_with_bomb(12, bplist_string(big)), false, false},
        {"archive with 8 copies of 64 KB", archive_with_bomb(3, bplist_string(big)), true, true},
        {"our archive of 40 levels each held twice",
         (bwv::archive::archive_root(stacked(40, true).get(), out), out), true, false},
        {"our archive nested as deep as allowed",
         (bwv::archive::archive_root(stacked(bwv::archive::kMaxDepth - 1, false).get(), out), out), true, true},
        {"binary nested 100000 deep", chain(100000, 0), false, false},
        {"binary nested 100 deep", chain(100, 0), true, false},
        {"an array that holds itself", chain(10, 5), false, false},
        {"XML nested 100000 deep", deep_xml + "</dict></plist>", false, false},
    };
    TempDir dir;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.shape);
        EXPECT_EQ(static_cast<bool>(parse(r.bytes)), r.parses);
        EXPECT_EQ(static_cast<bool>(load_both(dir.write("f.plist", r.bytes))), r.parses);
        EXPECT_EQ(static_cast<bool>(unarchive(r.bytes)), r.decodes);
    }
    EXPECT_LT(rows[7].bytes.size(), 4096u) << "what is shared is written once";
    EXPECT_FALSE(bwv::archive::archive_root(stacked(bwv::archive::kMaxDepth + 1, false).get(), out));
    // A container that holds itself is written by no writer.
    pl::Ref loop(pl::make_dict());
    pl::dict_set(loop.get(), "self", loop.get());
    EXPECT_EQ(pl::to_xml(loop.get()) + pl::to_binary(loop.get()) + pl::description(loop.get()), "");
    EXPECT_FALSE(bwv::archive::archive_root(loop.get(), out));
    pl::dict_remove(loop.get(), "self");
}

}  // namespace
