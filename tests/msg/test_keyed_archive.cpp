// The archive layer on its own: bounds that protect a reader from a hostile peer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/core/keyed_archive.hpp"
#include "platform/core/plobj.hpp"

namespace pl = bwv::pl;

namespace {

// A binary property list of arrays only: object i holds references to refs[i].
std::string bplist_of_arrays(const std::vector<std::vector<uint32_t>> &refs) {
    std::string out = "bplist00";
    std::vector<uint32_t> offsets;
    auto be = [&out](uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    for (auto &r : refs) {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        if (r.size() < 15) {
            out += static_cast<char>(0xA0 | r.size());
        } else {
            out += static_cast<char>(0xAF);
            out += static_cast<char>(0x12);
            be(r.size(), 4);
        }
        for (uint32_t x : r) be(x, 4);
    }
    uint64_t table = out.size();
    for (uint32_t o : offsets) be(o, 4);
    out += std::string(6, '\0');
    out += static_cast<char>(4);
    out += static_cast<char>(4);
    be(refs.size(), 8);
    be(0, 8);
    be(table, 8);
    return out;
}

TEST(KeyedArchive, ExponentiallySharedPropertyListIsRefusedBeforeParsing) {
    // 2^60 nodes if expanded into a tree.
    std::vector<std::vector<uint32_t>> refs;
    for (uint32_t i = 0; i < 60; ++i) refs.push_back({i + 1, i + 1});
    refs.push_back({});
    std::string bytes = bplist_of_arrays(refs);
    EXPECT_EQ(bwv::archive::unarchive_root(bytes.data(), bytes.size()), nullptr);
}

TEST(KeyedArchive, DeeplyNestedPropertyListsAreRefusedBeforeParsing) {
    std::vector<std::vector<uint32_t>> refs;
    const uint32_t depth = 200000;
    for (uint32_t i = 0; i < depth; ++i) refs.push_back({i + 1});
    refs.push_back({});
    std::string bytes = bplist_of_arrays(refs);
    EXPECT_EQ(bwv::archive::unarchive_root(bytes.data(), bytes.size()), nullptr);

    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) xml += "<array>";
    for (int i = 0; i < 100000; ++i) xml += "</array>";
    xml += "</plist>";
    EXPECT_EQ(bwv::archive::unarchive_root(xml.data(), xml.size()), nullptr);
}

TEST(KeyedArchive, DamagedTrailersNeitherCrashNorDecode) {
    std::string good = bplist_of_arrays({{1}, {}});
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
