// Property lists written by independent peers (Apple's frameworks, python3's plistlib)
// load with the values those peers see, and what we write, they read back equal.
#include <bwvutil/dic.h>

#include "platform/core/plobj_impl.hpp"
#include "plist_test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
namespace pl = bwv::pl;
using bwv::test::TempDir;

std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string hex(const std::string &s) { return hex(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }

// Mirrors canon() of plist_oracle.py.
std::string canon(const plobj *o)
{
    switch (pl::kind(o)) {
    case pl::Kind::Boolean:
        return pl::bool_value(o) ? "T" : "F";
    case pl::Kind::Integer:
        return "i" + (pl::int_is_unsigned(o) ? std::to_string(static_cast<uint64_t>(pl::int_value(o)))
                                             : std::to_string(pl::int_value(o)));
    case pl::Kind::Real:
        return "r" + pl::detail::format_real(pl::real_value(o));
    case pl::Kind::String:
        return "s" + hex(pl::string_value(o));
    case pl::Kind::Data:
        return "d" + hex(pl::data_value(o).data(), pl::data_value(o).size());
    case pl::Kind::Date:
        return "t" + pl::detail::format_date_iso(pl::date_value(o));
    case pl::Kind::Array: {
        std::string out = "[";
        for (size_t i = 0; i < pl::count(o); ++i)
            out += (i ? "," : "") + canon(pl::array_at(o, i));
        return out + "]";
    }
    case pl::Kind::Dict: {
        std::string out = "{";
        bool first = true;
        for (auto &[k, v] : pl::dict_entries(o)) {
            out += (first ? "" : ",") + ("s" + hex(k)) + ":" + canon(v);
            first = false;
        }
        return out + "}";
    }
    }
    return "?";
}

// What plistlib sees in each file: path -> canonical text ("!..." when it cannot read it).
std::map<std::string, std::string> plistlib_view(const std::vector<std::string> &paths)
{
    std::string cmd = "python3 '" BWV_TEST_DATA_DIR "/plist_oracle.py' canon";
    for (const auto &p : paths)
        cmd += " '" + p + "'";
    std::map<std::string, std::string> out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    std::string text;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, f))
        text.append(buf, n);
    pclose(f);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t tab = line.find('\t');
        if (tab != std::string::npos)
            out[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return out;
}

std::vector<std::string> interop_files()
{
    std::vector<std::string> files;
    for (const char *sub : {"xml-plists", "binary-plists"}) {
        fs::path dir = fs::path(BWV_INTEROP_DIR) / sub;
        if (!fs::is_directory(dir))
            continue;
        for (const auto &e : fs::directory_iterator(dir))
            if (e.is_regular_file() && e.path().extension() == ".plist")
                files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

struct DicDeleter {
    void operator()(dic *d) const { dic_destroy(d); }
};
using DicPtr = std::unique_ptr<dic, DicDeleter>;

TEST(PlistInterop, ApplePlistsLoadWithTheValuesTheirPeersSee)
{
    std::vector<std::string> files = interop_files();
    ASSERT_FALSE(files.empty()) << "interop folder " BWV_INTEROP_DIR " missing";
    std::map<std::string, std::string> reference;
    if (bwv::test::have_python3())
        reference = plistlib_view(files);

    int dict_roots = 0, compared = 0;
    for (const auto &path : files) {
        SCOPED_TRACE(path);
        DicPtr d(dic_load_from_file(path.c_str()));
        int fd = open(path.c_str(), O_RDONLY);
        DicPtr from_fd(dic_load_from_fd(fd));
        close(fd);
        if (fs::path(path).filename() == "InstallHistory.plist") {
            EXPECT_FALSE(d) << "its root is an array";
            EXPECT_FALSE(from_fd);
            continue;
        }
        ASSERT_TRUE(d);
        ASSERT_TRUE(from_fd);
        ++dict_roots;
        EXPECT_TRUE(pl::equal(d->ref, from_fd->ref));
        EXPECT_GT(dic_get_count(d.get()), 0);
        auto it = reference.find(path);
        if (it != reference.end() && it->second[0] != '!') {
            EXPECT_EQ(canon(d->ref), it->second);
            ++compared;
        }
    }
    EXPECT_GE(dict_roots, 7);
    if (bwv::test::have_python3()) {
        EXPECT_GE(compared, 6);
    }

    // Spot checks through the C interface, as a Foundation reader would read them.
    DicPtr info(dic_load_from_file((std::string(BWV_INTEROP_DIR) + "/xml-plists/xcode-Info.plist").c_str()));
    ASSERT_TRUE(info);
    std::unique_ptr<char, decltype(&free)> exe(dic_get_str(info.get(), "CFBundleExecutable"), free);
    ASSERT_TRUE(exe);
    EXPECT_STREQ(exe.get(), "$(EXECUTABLE_NAME)");
    EXPECT_EQ(dic_get_int(info.get(), "LSRequiresIPhoneOS"), 1);

    DicPtr kcn(dic_load_from_file((std::string(BWV_INTEROP_DIR) + "/xml-plists/com.apple.security.KCN.plist").c_str()));
    ASSERT_TRUE(kcn) << "CF's distant past and future dates must not stop the load";
    EXPECT_EQ(dic_get_int(kcn.get(), "pendingApplicationReminderInterval"), 86400);
}

TEST(PlistInterop, PlistlibOutputLoadsAndOurOutputMatchesIt)
{
    if (!bwv::test::have_python3())
        GTEST_SKIP() << "python3 with plistlib not available";
    TempDir dir;
    ASSERT_EQ(bwv::test::run_oracle("write", dir.path()), 0);
    int cases = 0;
    for (int i = 0;; ++i, ++cases) {
        std::string base = dir.file("case-" + std::to_string(i));
        if (!fs::exists(base + ".xml"))
            break;
        SCOPED_TRACE(base);
        DicPtr x(dic_load_from_file((base + ".xml").c_str()));
        DicPtr b(dic_load_from_file((base + ".bin").c_str()));
        ASSERT_TRUE(x);
        ASSERT_TRUE(b);
        EXPECT_TRUE(pl::equal(x->ref, b->ref));
        // Saved through the C interface, byte for byte what plistlib wrote.
        ASSERT_EQ(dic_save_to_file(b.get(), (base + ".ours.xml").c_str()), 0);
        EXPECT_EQ(TempDir::read(base + ".ours.xml"), TempDir::read(base + ".xml"));
    }
    EXPECT_GE(cases, 10);
    std::string log;
    EXPECT_EQ(bwv::test::run_oracle("check", dir.path(), &log), 0) << log;
}

TEST(PlistInterop, ADictionaryBuiltThroughTheInterfaceIsReadByPlistlib)
{
    if (!bwv::test::have_python3())
        GTEST_SKIP() << "python3 with plistlib not available";
    TempDir dir;
    DicPtr d(dic_create());
    dic_set_str(d.get(), "name", "Caf\xc3\xa9 <&>");
    dic_set_int(d.get(), "count", -42);
    dic_set_boolean(d.get(), "on", 1);
    DicPtr inner(dic_create());
    dic_set_str(inner.get(), "k", "v");
    dic_set_dic(d.get(), "inner", inner.get());
    parray *list = parray_create(0);
    char a[] = "x", b[] = "y";
    parray_add(list, a);
    parray_add(list, b);
    dic_set_str_parray(d.get(), "list", list);
    parray_destroy(list);
    std::string path = dir.file("built.plist");
    ASSERT_EQ(dic_save_to_file(d.get(), path.c_str()), 0);
    auto view = plistlib_view({path});
    EXPECT_EQ(view[path], canon(d->ref));
    EXPECT_NE(view[path].find(hex("count") + ":i-42"), std::string::npos);
}

}  // namespace
