// The archive layer on its own: bounds that protect a reader from a hostile peer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/core/keyed_archive.hpp"
#include "platform/core/plobj.hpp"
#include "support/bplist_bomb.hpp"

namespace pl = bwv::pl;
using bwv::test::bplist;
using bwv::test::bplist_array;
using bwv::test::bplist_dict;
using bwv::test::bplist_string;
using bwv::test::BplistObject;

namespace {

// A valid archive of the string "hello" whose root dictionary also carries 2^levels
// copies of `leaf` under a key the reader never looks at.
std::string archive_with_bomb(int levels, const BplistObject &leaf) {
    const uint64_t b = static_cast<uint64_t>(levels) + 3;
    return bwv::test::doubling_bomb(
        levels, leaf, "Bomb", {b, b + 2, b + 4, b + 8}, {b + 1, b + 3, b + 5, b + 9},
        {bplist_string("$archiver"), bplist_string("NSKeyedArchiver"), bplist_string("$version"),
         {std::string("\x12\x00\x01\x86\xa0", 5), {}}, bplist_string("$top"), bplist_dict({b + 6}, {b + 7}),
         bplist_string("root"), {"\x80\x01", {}}, bplist_string("$objects"), bplist_array({b + 10, b + 11}),
         bplist_string("$null"), bplist_string("hello")});
}

TEST(KeyedArchive, ExpansionBombsAreRefusedBeforeParsing) {
    const struct {
        const char *shape;
        std::string bytes;
        bool decodes;
    } cases[] = {
        {"2^60 copies of an empty array", archive_with_bomb(60, bplist_array({})), false},
        {"2^12 copies of a 64 KB string", archive_with_bomb(12, bplist_string(std::string(65536, 'x'))), false},
        {"8 copies of a 64 KB string", archive_with_bomb(3, bplist_string(std::string(65536, 'x'))), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shape);
        pl::Ref root(bwv::archive::unarchive_root(c.bytes.data(), c.bytes.size()));
        EXPECT_EQ(root && pl::string_value(root.get()) == "hello", c.decodes);
    }
}

TEST(KeyedArchive, DeeplyNestedPropertyListsAreRefusedBeforeParsing) {
    std::vector<BplistObject> objects;
    const uint64_t depth = 200000;
    for (uint64_t i = 0; i < depth; ++i) objects.push_back(bplist_array({i + 1}));
    objects.push_back(bplist_array({}));
    std::string bytes = bplist(objects);
    EXPECT_EQ(bwv::archive::unarchive_root(bytes.data(), bytes.size()), nullptr);

    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) xml += "<array>";
    for (int i = 0; i < 100000; ++i) xml += "</array>";
    xml += "</plist>";
    EXPECT_EQ(bwv::archive::unarchive_root(xml.data(), xml.size()), nullptr);
}

TEST(KeyedArchive, DamagedTrailersNeitherCrashNorDecode) {
    std::string good = bplist({bplist_array({1}), bplist_array({})});
    for (size_t i = good.size() - 32; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(0xff);
        EXPECT_EQ(bwv::archive::unarchive_root(bad.data(), bad.size()), nullptr) << i;
    }
    EXPECT_EQ(bwv::archive::unarchive_root(good.data(), 8), nullptr);
}

TEST(KeyedArchive, NestingBeyondTheBoundIsRefusedBothWays) {
    auto nested = [](int levels) {
        pl::Ref root(pl::make_dict());
        plobj *cur = root.get();
        for (int i = 0; i < levels; ++i) {
            pl::Ref next(pl::make_dict());
            pl::dict_set(cur, "n", next.get());
            cur = next.get();
        }
        return root;
    };
    std::string out;
    EXPECT_TRUE(bwv::archive::archive_root(nested(bwv::archive::kMaxDepth - 1).get(), out));
    pl::Ref ok(bwv::archive::unarchive_root(out.data(), out.size()));
    EXPECT_TRUE(ok);
    EXPECT_FALSE(bwv::archive::archive_root(nested(bwv::archive::kMaxDepth + 1).get(), out));

    // A dictionary that contains itself cannot be archived.
    pl::Ref loop(pl::make_dict());
    pl::dict_set(loop.get(), "self", loop.get());
    EXPECT_FALSE(bwv::archive::archive_root(loop.get(), out));
    pl::dict_remove(loop.get(), "self");
}

TEST(KeyedArchive, SharedContainersAreRefusedWhenTheirWalkWouldExplode) {
    // Each level refers twice to the level below: 2^40 entries if walked as a tree.
    pl::Ref leaf(pl::make_dict());
    pl::Ref cur = leaf;
    for (int i = 0; i < 40; ++i) {
        pl::Ref up(pl::make_dict());
        pl::dict_set(up.get(), "a", cur.get());
        pl::dict_set(up.get(), "b", cur.get());
        cur = up;
    }
    std::string out;
    ASSERT_TRUE(bwv::archive::archive_root(cur.get(), out));
    EXPECT_LT(out.size(), 4096u);  // shared objects are written once
    EXPECT_EQ(bwv::archive::unarchive_root(out.data(), out.size()), nullptr);
}

}  // namespace
