#include "platform/core/plobj.hpp"

#include "plist_test_support.hpp"
#include "support/bplist_bomb.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>

namespace {

namespace pl = bwv::pl;
using bwv::test::TempDir;
using pl::Ref;

Ref load(const std::string &path, bool m = true)
{
    std::string bytes = TempDir::read(path);
    return Ref(pl::parse(bytes.data(), bytes.size(), m));
}

Ref parse_text(std::string_view s, bool m = true) { return Ref(pl::parse(s.data(), s.size(), m)); }

// Seconds since 2001 for a UTC calendar time; 1970..2001 is 978307200 s.
double since_2001(int64_t unix_seconds) { return static_cast<double>(unix_seconds) - 978307200.0; }

TEST(Plobj, ContainersShareWhatTheyHoldAndRespectImmutability)
{
    Ref inner(pl::make_dict());
    Ref outer(pl::make_dict());
    Ref other(pl::make_array());
    ASSERT_TRUE(pl::dict_set(outer.get(), "inner", inner.get()));
    ASSERT_TRUE(pl::array_append(other.get(), inner.get()));
    Ref s(pl::make_string("v"));
    ASSERT_TRUE(pl::dict_set(inner.get(), "k", s.get()));
    EXPECT_EQ(pl::dict_get(outer.get(), "inner"), inner.get()) << "stored by reference, not copied";
    EXPECT_EQ(pl::dict_get(pl::array_at(other.get(), 0), "k"), s.get());

    // Replacing a value with itself must not free it in between.
    ASSERT_TRUE(pl::dict_set(inner.get(), "k", s.get()));
    EXPECT_EQ(pl::string_value(pl::dict_get(inner.get(), "k")), "v");

    Ref frozen(pl::deep_copy(outer.get(), false));
    EXPECT_FALSE(pl::is_mutable(frozen.get()));
    EXPECT_FALSE(pl::dict_set(frozen.get(), "x", s.get()));
    EXPECT_FALSE(pl::dict_set(pl::dict_get(frozen.get(), "inner"), "x", s.get())) << "immutable to the leaves";
    EXPECT_FALSE(pl::dict_remove(frozen.get(), "inner"));
    EXPECT_TRUE(pl::equal(frozen.get(), outer.get()));
    EXPECT_NE(pl::dict_get(frozen.get(), "inner"), inner.get());

    EXPECT_TRUE(pl::dict_remove(outer.get(), "inner"));
    EXPECT_EQ(pl::count(outer.get()), 0u);
    EXPECT_EQ(pl::string_value(pl::dict_get(pl::array_at(other.get(), 0), "k")), "v")
        << "still alive through the array";
    EXPECT_EQ(pl::array_at(other.get(), 1), nullptr);
    EXPECT_TRUE(pl::array_remove(other.get(), 0));
    EXPECT_FALSE(pl::array_remove(other.get(), 0));
}

TEST(Plobj, DictionariesIterateInKeyByteOrder)
{
    Ref d(pl::make_dict());
    for (const char *k : {"b", "a", "\xc3\x85" "benraa", "Z", "10", "9"}) {
        Ref v(pl::make_int(1));
        pl::dict_set(d.get(), k, v.get());
    }
    std::vector<std::string> want = {"10", "9", "Z", "a", "b", "\xc3\x85" "benraa"};
    EXPECT_EQ(pl::dict_keys(d.get()), want);
}

TEST(Plobj, StringCreationRejectsBrokenUtf8)
{
    plobj *s = plobj_string_create("gr\xc3\xbc\xc3\x9f");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(pl::string_value(s), "gr\xc3\xbc\xc3\x9f");
    EXPECT_EQ(plobj_retain(s), s);
    plobj_release(s);
    plobj_release(s);
    plobj_release(nullptr);
    EXPECT_EQ(plobj_retain(nullptr), nullptr);
    EXPECT_EQ(plobj_string_create(nullptr), nullptr);
    EXPECT_EQ(plobj_string_create("\xff"), nullptr);
    EXPECT_EQ(plobj_string_create("\xc0\xaf"), nullptr) << "overlong";
    EXPECT_EQ(plobj_string_create("\xed\xa0\x80"), nullptr) << "surrogate";
    EXPECT_EQ(plobj_string_create("\xe2\x82"), nullptr) << "truncated";
}

TEST(PlistParse, AppleXmlAndBinaryOfTheSameObjectAgree)
{
    Ref x = load(bwv::test::interop("xml-plists/cocoa-TESTDATA.xml.plist"));
    Ref b = load(bwv::test::interop("binary-plists/cocoa-TESTDATA.binary.plist"));
    ASSERT_TRUE(x);
    ASSERT_TRUE(b);
    EXPECT_TRUE(pl::equal(x.get(), b.get()));
    for (plobj *root : {x.get(), b.get()}) {
        plobj *big = pl::dict_get(root, "aBigInt2");
        ASSERT_TRUE(big);
        EXPECT_TRUE(pl::int_is_unsigned(big));
        EXPECT_EQ(static_cast<uint64_t>(pl::int_value(big)), 9223372036854775852ull);
        EXPECT_FALSE(pl::int_is_unsigned(pl::dict_get(root, "aBigInt")));
        EXPECT_EQ(pl::int_value(pl::dict_get(root, "aBigInt")), 9223372036854775764ll);
        EXPECT_EQ(pl::int_value(pl::dict_get(root, "aNegativeInt")), -5);
        EXPECT_EQ(pl::int_value(pl::dict_get(root, "aNegativeBigInt")), -80000000000ll);
        EXPECT_EQ(pl::date_value(pl::dict_get(root, "aDate")), since_2001(1098786813));
        EXPECT_EQ(pl::real_value(pl::dict_get(root, "aFloat")), 0.5);
        plobj *deeper = pl::dict_get(pl::dict_get(root, "aDict"), "deeperDict");
        EXPECT_EQ(pl::real_value(pl::dict_get(deeper, "b")), 32.5);
        EXPECT_EQ(pl::string_value(pl::dict_get(pl::dict_get(root, "aDict"), "anotherString")),
                  "<hello & 'hi' there!>");
        EXPECT_EQ(pl::string_value(pl::dict_get(pl::dict_get(root, "aDict"), "aUnicodeValue")),
                  "M\xc3\xa4ssig, Ma\xc3\x9f");
        EXPECT_NE(pl::dict_get(root, "\xc3\x85" "benraa"), nullptr);
        const auto &data = pl::data_value(pl::dict_get(root, "someData"));
        EXPECT_EQ(std::string(data.begin(), data.end()), "<binary gunk>");
        EXPECT_EQ(pl::count(pl::dict_get(root, "anEmptyDict")), 0u);
        EXPECT_EQ(pl::kind(pl::dict_get(root, "anEmptyList")), pl::Kind::Array);
    }
}

TEST(PlistParse, CoreFoundationExtremeDatesAreRead)
{
    Ref d = load(bwv::test::interop("xml-plists/com.apple.security.KCN.plist"));
    ASSERT_TRUE(d);
    // distantPast 0000-12-30T00:00:00Z and distantFuture 4001-01-01T00:00:00Z.
    EXPECT_EQ(pl::date_value(pl::dict_get(d.get(), "applicationDate")), -63114076800.0);
    EXPECT_EQ(pl::date_value(pl::dict_get(d.get(), "pendingApplicationReminder")), 63113904000.0);
    EXPECT_EQ(pl::date_value(pl::dict_get(d.get(), "lastWritten")), since_2001(1568659364));
    std::string xml = pl::to_xml(d.get());
    EXPECT_NE(xml.find("<date>0000-12-30T00:00:00Z</date>"), std::string::npos);
    EXPECT_NE(xml.find("<date>4001-01-01T00:00:00Z</date>"), std::string::npos);
    Ref back = parse_text(pl::to_binary(d.get()));
    EXPECT_TRUE(pl::equal(back.get(), d.get())) << "binary keeps them too";
}

TEST(PlistParse, DataWrittenOnOneLineAndUnsortedKeysAreRead)
{
    Ref air = load(bwv::test::interop("xml-plists/com.apple.airport.preferences.plist"));
    ASSERT_TRUE(air);
    plobj *nets = pl::dict_get(air.get(), "RememberedNetworks");
    ASSERT_TRUE(nets);
    ASSERT_GT(pl::count(nets), 0u);
    bool saw_data = false;
    for (size_t i = 0; i < pl::count(nets); ++i)
        for (auto &[k, v] : pl::dict_entries(pl::array_at(nets, i)))
            if (pl::kind(v) == pl::Kind::Data && !pl::data_value(v).empty())
                saw_data = true;
    EXPECT_TRUE(saw_data);

    Ref sw = load(bwv::test::interop("binary-plists/com.apple.SoftwareUpdate.plist"));
    ASSERT_TRUE(sw);
    EXPECT_EQ(pl::count(sw.get()), 14u);
}

TEST(PlistParse, BrokenInputGivesNull)
{
    EXPECT_FALSE(parse_text(""));
    EXPECT_FALSE(parse_text("this is not a property list"));
    EXPECT_FALSE(parse_text("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"));
    EXPECT_FALSE(parse_text("<plist version=\"1.0\"><dict><key>a</key><string>b</string>"));
    EXPECT_FALSE(parse_text("bplist00"));
    EXPECT_EQ(pl::parse(nullptr, 10, true), nullptr);

    Ref good(pl::make_dict());
    Ref v(pl::make_string("value"));
    pl::dict_set(good.get(), "key", v.get());
    std::string bin = pl::to_binary(good.get());
    for (size_t cut = 1; cut < bin.size(); ++cut)
        EXPECT_FALSE(parse_text(std::string_view(bin).substr(0, cut))) << "binary cut at " << cut;
    std::string xml = pl::to_xml(good.get());
    for (size_t cut = 1; cut + 1 < xml.size(); ++cut)
        EXPECT_FALSE(parse_text(std::string_view(xml).substr(0, cut))) << "xml cut at " << cut;
}

// A bplist00 whose object i is an array referring to objects refs(i); the last is empty.
std::string chained_bplist(size_t n, const std::function<std::vector<uint64_t>(size_t)> &refs)
{
    std::vector<bwv::test::BplistObject> objects;
    for (size_t i = 0; i < n; ++i)
        objects.push_back(bwv::test::bplist_array(i + 1 < n ? refs(i) : std::vector<uint64_t>{}));
    return bwv::test::bplist(objects);
}

TEST(PlistParse, HostileNestingIsRefusedWithoutCrashing)
{
    std::string deep_xml = "<plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i)
        deep_xml += "<array>";
    for (int i = 0; i < 100000; ++i)
        deep_xml += "</array>";
    deep_xml += "</plist>";
    EXPECT_FALSE(parse_text(deep_xml));

    auto next = [](size_t i) { return std::vector<uint64_t>{i + 1}; };
    EXPECT_FALSE(parse_text(chained_bplist(100000, next))) << "deep binary nesting";
    Ref fine = parse_text(chained_bplist(100, next));
    EXPECT_TRUE(fine) << "ordinary nesting still loads";

    auto loop = [](size_t i) { return std::vector<uint64_t>{i == 5 ? 0 : i + 1}; };
    EXPECT_FALSE(parse_text(chained_bplist(10, loop))) << "an array that contains itself";
}

TEST(PlistParse, ParsedObjectsAreMutableOnlyWhenAsked)
{
    const char *text = "<plist version=\"1.0\"><dict><key>n</key><dict><key>s</key><string>x</string></dict>"
                       "<key>a</key><array><integer>1</integer></array></dict></plist>";
    Ref m = parse_text(text, true);
    Ref f = parse_text(text, false);
    ASSERT_TRUE(m && f);
    for (plobj *o : {m.get(), pl::dict_get(m.get(), "n"), pl::dict_get(m.get(), "a"),
                     pl::dict_get(pl::dict_get(m.get(), "n"), "s")})
        EXPECT_TRUE(pl::is_mutable(o));
    for (plobj *o : {f.get(), pl::dict_get(f.get(), "n"), pl::dict_get(f.get(), "a")})
        EXPECT_FALSE(pl::is_mutable(o));
}

TEST(PlistWrite, XmlIsByteForByteWhatPlistlibWrites)
{
    if (!bwv::test::have_python3())
        GTEST_SKIP() << "python3 with plistlib not available";
    TempDir dir;
    ASSERT_EQ(bwv::test::run_oracle("write", dir.path()), 0);
    int cases = 0;
    for (int i = 0; std::filesystem::exists(dir.file("case-" + std::to_string(i) + ".xml")); ++i, ++cases) {
        std::string want = TempDir::read(dir.file("case-" + std::to_string(i) + ".xml"));
        Ref from_xml = load(dir.file("case-" + std::to_string(i) + ".xml"));
        Ref from_bin = load(dir.file("case-" + std::to_string(i) + ".bin"));
        ASSERT_TRUE(from_xml) << "case " << i;
        ASSERT_TRUE(from_bin) << "case " << i;
        EXPECT_TRUE(pl::equal(from_xml.get(), from_bin.get())) << "case " << i;
        EXPECT_EQ(pl::to_xml(from_xml.get()), want) << "case " << i;
        dir.write("case-" + std::to_string(i) + ".ours.xml", pl::to_xml(from_bin.get()));
        dir.write("case-" + std::to_string(i) + ".ours.bin", pl::to_binary(from_xml.get()));
    }
    EXPECT_GE(cases, 10);
    std::string log;
    EXPECT_EQ(bwv::test::run_oracle("check", dir.path(), &log), 0) << log;
}

TEST(PlistWrite, BinaryRoundTripKeepsEveryKind)
{
    Ref d(pl::make_dict());
    auto put = [&](const char *k, plobj *v) {
        pl::dict_set(d.get(), k, v);
        plobj_release(v);
    };
    put("s", pl::make_string("ascii"));
    put("u", pl::make_string("\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"));
    put("i8", pl::make_int(200));
    put("i16", pl::make_int(40000));
    put("i32", pl::make_int(4000000000));
    put("neg", pl::make_int(-1));
    put("huge", pl::make_uint(18446744073709551615ull));
    put("r", pl::make_real(-2.5));
    put("t", pl::make_bool(true));
    put("date", pl::make_date(-63114076800.0));
    put("data", pl::make_data("\x00\x01\x02", 3));
    Ref arr(pl::make_array());
    for (int i = 0; i < 300; ++i) {  // more than 255 objects: two-byte references
        Ref v(pl::make_string("item" + std::to_string(i)));
        pl::array_append(arr.get(), v.get());
    }
    pl::dict_set(d.get(), "arr", arr.get());
    Ref back = parse_text(pl::to_binary(d.get()));
    ASSERT_TRUE(back);
    EXPECT_TRUE(pl::equal(back.get(), d.get()));
    EXPECT_TRUE(pl::int_is_unsigned(pl::dict_get(back.get(), "huge")));
}

TEST(PlistWrite, UidDictionariesBecomeUidsInBinaryAndBack)
{
    Ref d(pl::make_dict());
    Ref uid(pl::make_dict());
    Ref n(pl::make_int(7));
    pl::dict_set(uid.get(), "CF$UID", n.get());
    pl::dict_set(d.get(), "ref", uid.get());
    std::string bin = pl::to_binary(d.get());
    EXPECT_NE(bin.find('\x80'), std::string::npos) << "one-byte UID marker present";
    Ref back = parse_text(bin);
    ASSERT_TRUE(back);
    EXPECT_TRUE(pl::equal(back.get(), d.get()));
}

TEST(PlistWrite, ContainerHoldingItselfFailsInsteadOfRecursingForever)
{
    Ref d(pl::make_dict());
    pl::dict_set(d.get(), "self", d.get());
    EXPECT_EQ(pl::to_xml(d.get()), "");
    EXPECT_EQ(pl::to_binary(d.get()), "");
    EXPECT_EQ(pl::description(d.get()), "");
    pl::dict_remove(d.get(), "self");  // break the cycle so the test does not leak
}

TEST(Description, FoundationOldStyleLayout)
{
    Ref d = parse_text(
        "<plist version=\"1.0\"><dict>"
        "<key>name</key><string>plain_text.1$</string>"
        "<key>spaced</key><string>two words</string>"
        "<key>empty</key><string></string>"
        "<key>quote</key><string>say \"hi\"\\</string>"
        "<key>uni</key><string>\xc3\xa9</string>"
        "<key>n</key><integer>42</integer>"
        "<key>neg</key><integer>-5</integer>"
        "<key>r</key><real>0.5</real>"
        "<key>yes</key><true/>"
        "<key>no</key><false/>"
        "<key>bytes</key><data>AAECAwQFBgc=</data>"
        "<key>nested</key><dict><key>a</key><integer>1</integer></dict>"
        "<key>list</key><array><integer>1</integer><dict><key>b</key><string>c</string></dict></array>"
        "<key>key with space</key><dict/>"
        "</dict></plist>");
    ASSERT_TRUE(d);
    EXPECT_EQ(pl::description(d.get()),
              "{\n"
              "    bytes = <00010203 04050607>;\n"
              "    empty = \"\";\n"
              "    \"key with space\" =     {\n"
              "    };\n"
              "    list =     (\n"
              "        1,\n"
              "                {\n"
              "            b = c;\n"
              "        }\n"
              "    );\n"
              "    n = 42;\n"
              "    name = plain_text.1$;\n"
              "    neg = \"-5\";\n"
              "    nested =     {\n"
              "        a = 1;\n"
              "    };\n"
              "    no = 0;\n"
              "    quote = \"say \\\"hi\\\"\\\\\";\n"
              "    r = 0.5;\n"
              "    spaced = \"two words\";\n"
              "    uni = \"\\U00e9\";\n"
              "    yes = 1;\n"
              "}");
    Ref empty(pl::make_array());
    EXPECT_EQ(pl::description(empty.get()), "(\n)");
}

}  // namespace
