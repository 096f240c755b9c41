#include <bwvutil/dic.h>

#include "platform/core/plobj.hpp"
#include "support/bplist_bomb.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace {

namespace pl = bwv::pl;

using bwv::test::TempDir;

struct DicDeleter {
    void operator()(dic *d) const { dic_destroy(d); }
};
struct ArrayDeleter {
    void operator()(array *a) const { array_destroy(a); }
};
struct Free {
    void operator()(void *p) const { free(p); }
};
using DicPtr = std::unique_ptr<dic, DicDeleter>;
using ArrayPtr = std::unique_ptr<array, ArrayDeleter>;
using CStr = std::unique_ptr<char, Free>;

std::string str(dic *d, const char *key)
{
    CStr s(dic_get_str(d, key));
    return s ? s.get() : "<null>";
}

mode_t mode_of(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::set<std::string> names_in(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

// The exit status of body run in a child process; -1 if it did not end normally.
int in_child(const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

const char *kSample =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\">\n<dict>\n"
    "<key>name</key><string>BrindleWave</string>\n"
    "<key>n</key><integer>42</integer>\n"
    "<key>flag</key><true/>\n"
    "<key>nested</key><dict><key>inner</key><string>x</string></dict>\n"
    "<key>list</key><array><dict><key>a</key><integer>1</integer></dict></array>\n"
    "</dict>\n</plist>\n";

TEST(Dic, ValuesKeepTheirKindsAndIntReadingRules)
{
    DicPtr d(dic_create());
    ASSERT_TRUE(d);
    EXPECT_EQ(dic_set_str(d.get(), "s", "text"), 0);
    EXPECT_EQ(dic_set_str(d.get(), "digits", "123abc"), 0);
    EXPECT_EQ(dic_set_str(d.get(), "letters", "abc123"), 0);
    EXPECT_EQ(dic_set_str(d.get(), "signed", "  -17 apples"), 0);
    EXPECT_EQ(dic_set_int(d.get(), "i", -2147483647 - 1), 0);
    EXPECT_EQ(dic_set_boolean(d.get(), "five", 5), 0);
    EXPECT_EQ(dic_set_boolean(d.get(), "zero", 0), 0);
    DicPtr inner(dic_create());
    EXPECT_EQ(dic_set_dic(d.get(), "dict", inner.get()), 0);

    EXPECT_EQ(str(d.get(), "s"), "text");
    EXPECT_EQ(dic_get_int(d.get(), "digits"), 123);
    EXPECT_EQ(dic_get_int(d.get(), "letters"), 0);
    EXPECT_EQ(dic_get_int(d.get(), "signed"), -17);
    EXPECT_EQ(dic_get_int(d.get(), "i"), -2147483647 - 1);
    EXPECT_EQ(dic_get_int(d.get(), "five"), 1) << "any non-zero flag stores true";
    EXPECT_EQ(pl::kind(pl::dict_get(d->ref, "five")), pl::Kind::Boolean);
    EXPECT_EQ(dic_get_int(d.get(), "zero"), 0);
    EXPECT_EQ(dic_get_int(d.get(), "dict"), -1);
    EXPECT_EQ(dic_get_int(d.get(), "absent"), -1);
    EXPECT_EQ(dic_get_str(d.get(), "i"), nullptr) << "a number is not a string";
    EXPECT_EQ(dic_get_str(d.get(), "absent"), nullptr);
    EXPECT_EQ(dic_get_dic(d.get(), "s"), nullptr);
    EXPECT_EQ(dic_get_array(d.get(), "dict"), nullptr);
    EXPECT_EQ(dic_get_count(d.get()), 8);

    EXPECT_EQ(dic_set_str(d.get(), "s", "replaced"), 0);
    EXPECT_EQ(str(d.get(), "s"), "replaced");
    EXPECT_EQ(dic_get_count(d.get()), 8);
}

TEST(Dic, RefusedArgumentsGiveTheirCodesAndChangeNothing)
{
    DicPtr d(dic_create());
    dic null_ref{nullptr};
    DicPtr other(dic_create());
    ArrayPtr arr(array_create());
    array null_arr{nullptr};
    const char *bad = "\xff\xfe";

    EXPECT_EQ(dic_set_str(nullptr, "k", "v"), -1);
    EXPECT_EQ(dic_set_str(&null_ref, "k", "v"), -1);
    EXPECT_EQ(dic_set_str(d.get(), nullptr, "v"), -1);
    EXPECT_EQ(dic_set_str(d.get(), "k", nullptr), -1);
    EXPECT_EQ(dic_set_str(d.get(), bad, "v"), -2);
    EXPECT_EQ(dic_set_str(d.get(), "k", bad), -3);
    EXPECT_EQ(dic_set_int(nullptr, "k", 1), -1);
    EXPECT_EQ(dic_set_int(d.get(), nullptr, 1), -1);
    EXPECT_EQ(dic_set_int(d.get(), bad, 1), -2);
    EXPECT_EQ(dic_set_boolean(&null_ref, "k", 1), -1);
    EXPECT_EQ(dic_set_boolean(d.get(), bad, 1), -2);
    EXPECT_EQ(dic_set_dic(d.get(), "k", nullptr), -1);
    EXPECT_EQ(dic_set_dic(nullptr, "k", other.get()), -1);
    EXPECT_EQ(dic_set_dic(d.get(), bad, other.get()), -2);
    EXPECT_EQ(dic_set_dic(d.get(), "k", &null_ref), -3);
    EXPECT_EQ(dic_set_array(d.get(), "k", nullptr), -1);
    EXPECT_EQ(dic_set_array(d.get(), "k", &null_arr), -1);
    EXPECT_EQ(dic_set_array(d.get(), nullptr, arr.get()), -1);
    EXPECT_EQ(dic_set_array(d.get(), bad, arr.get()), -2);
    parray *list = parray_create(0);
    EXPECT_EQ(dic_set_str_parray(nullptr, "k", list), -1);
    EXPECT_EQ(dic_set_str_parray(d.get(), nullptr, list), -1);
    EXPECT_EQ(dic_set_str_parray(d.get(), "k", nullptr), -1);
    EXPECT_EQ(dic_set_str_parray(d.get(), bad, list), -1) << "not reported as stored";
    parray_destroy(list);
    EXPECT_EQ(dic_get_count(d.get()), 0) << "no refused call stored anything";

    EXPECT_EQ(dic_get_count(nullptr), -1);
    EXPECT_EQ(dic_get_count(&null_ref), -1);
    EXPECT_EQ(dic_get_keys(d.get()), nullptr) << "empty dictionary";
    EXPECT_EQ(dic_get_keys(nullptr), nullptr);
    EXPECT_EQ(dic_get_str(nullptr, "k"), nullptr);
    EXPECT_EQ(dic_get_str(d.get(), nullptr), nullptr);
    EXPECT_EQ(dic_get_str(d.get(), bad), nullptr);
    EXPECT_EQ(dic_get_int(nullptr, "k"), -1);
    EXPECT_EQ(dic_get_int(d.get(), nullptr), -1);
    EXPECT_EQ(dic_get_dic(&null_ref, "k"), nullptr);
    EXPECT_EQ(dic_get_array(nullptr, "k"), nullptr);
    EXPECT_EQ(dic_get_str_parray(d.get(), "k"), nullptr);
    EXPECT_EQ(dic_has_key(nullptr, nullptr), -1);
    EXPECT_EQ(dic_has_key(d.get(), nullptr), -1);
    EXPECT_EQ(dic_show(nullptr), -1);
    EXPECT_EQ(dic_show(&null_ref), -1);
    EXPECT_EQ(dic_destroy(nullptr), -1);
    EXPECT_EQ(dic_destroy(&null_ref), -1) << "a handle without ref is not freed";
    EXPECT_EQ(dic_save_to_file(nullptr, "/tmp/x"), -1);
    EXPECT_EQ(dic_save_to_file(&null_ref, "/tmp/x"), -1);
    EXPECT_EQ(dic_save_to_file(d.get(), nullptr), -1);
    EXPECT_EQ(dic_save_to_file(d.get(), "/tmp/\xff"), -2);
    EXPECT_EQ(dic_save_to_fd(d.get(), -1), -1);
    EXPECT_EQ(dic_save_to_fd(nullptr, 1), -1);

    EXPECT_EQ(array_destroy(nullptr), -1);
    EXPECT_EQ(array_destroy(&null_arr), -1);
    EXPECT_EQ(array_get_count(nullptr), -1);
    EXPECT_EQ(array_get_count(&null_arr), -1);
    EXPECT_EQ(array_append_dic(arr.get(), nullptr), -1);
    EXPECT_EQ(array_append_dic(&null_arr, d.get()), -1);
    EXPECT_EQ(array_append_dic(arr.get(), &null_ref), -1);
    EXPECT_EQ(array_get_dic(nullptr, 0), nullptr);
    EXPECT_EQ(array_get_dic(arr.get(), 0), nullptr) << "empty array";
    EXPECT_EQ(array_get_dic(arr.get(), -1), nullptr);
    EXPECT_EQ(Copy_CFStringRefToCString(nullptr), nullptr);
}

TEST(Dic, NestedObjectsAreSharedNotCopied)
{
    TempDir dir;
    std::string path = dir.write("conf.plist", kSample);
    DicPtr d(dic_load_from_file(path.c_str()));
    ASSERT_TRUE(d);
    {
        DicPtr nested(dic_get_dic(d.get(), "nested"));
        ASSERT_TRUE(nested);
        EXPECT_EQ(dic_set_str(nested.get(), "added", "through child"), 0);
        EXPECT_EQ(dic_set_int(nested.get(), "inner", 9), 0);
    }
    DicPtr again(dic_get_dic(d.get(), "nested"));
    EXPECT_EQ(str(again.get(), "added"), "through child");
    EXPECT_EQ(dic_get_int(again.get(), "inner"), 9);

    // A dictionary stored in two containers is one object.
    DicPtr shared(dic_create());
    DicPtr a(dic_create()), b(dic_create());
    ASSERT_EQ(dic_set_dic(a.get(), "s", shared.get()), 0);
    ASSERT_EQ(dic_set_dic(b.get(), "s", shared.get()), 0);
    ArrayPtr arr(array_create());
    ASSERT_EQ(array_append_dic(arr.get(), shared.get()), 0);
    ASSERT_EQ(dic_set_array(a.get(), "arr", arr.get()), 0);
    ASSERT_EQ(dic_set_str(shared.get(), "k", "v"), 0);
    DicPtr via_a(dic_get_dic(a.get(), "s")), via_b(dic_get_dic(b.get(), "s"));
    EXPECT_EQ(str(via_a.get(), "k"), "v");
    EXPECT_EQ(str(via_b.get(), "k"), "v");
    ArrayPtr arr_again(dic_get_array(a.get(), "arr"));
    ASSERT_EQ(array_get_count(arr_again.get()), 1);
    DicPtr elem(array_get_dic(arr_again.get(), 0));
    EXPECT_EQ(elem->ref, shared->ref);
    EXPECT_EQ(array_get_dic(arr_again.get(), 1), nullptr);

    // The caller's handle and the container's reference live independently.
    shared.reset();
    EXPECT_EQ(str(via_b.get(), "k"), "v");

    ArrayPtr list(dic_get_array(d.get(), "list"));
    ASSERT_TRUE(list);
    DicPtr first(array_get_dic(list.get(), 0));
    EXPECT_EQ(dic_get_int(first.get(), "a"), 1);
    EXPECT_EQ(dic_set_int(first.get(), "a", 2), 0) << "file-loaded dictionaries are mutable to the leaves";
}

TEST(Dic, StringListsAreIndexKeyedDictionaries)
{
    DicPtr d(dic_create());
    parray *list = parray_create(0);
    char a[] = "a", b[] = "b", c[] = "c";
    parray_add(list, a);
    parray_add(list, b);
    parray_add(list, c);
    ASSERT_EQ(dic_set_str_parray(d.get(), "items", list), 0);
    parray_destroy(list);

    DicPtr stored(dic_get_dic(d.get(), "items"));
    ASSERT_TRUE(stored) << "stored as a dictionary, not an array";
    EXPECT_EQ(str(stored.get(), "0"), "a");
    EXPECT_EQ(str(stored.get(), "2"), "c");

    parray *back = dic_get_str_parray(d.get(), "items");
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(parray_count(back), 3);
    EXPECT_STREQ(static_cast<char *>(parray_at(back, 0)), "a");
    EXPECT_STREQ(static_cast<char *>(parray_at(back, 1)), "b");
    EXPECT_STREQ(static_cast<char *>(parray_at(back, 2)), "c");
    parray_destroy_free(back);

    // A list with gaps loses its last entries: only "0" .. count-1 are read.
    DicPtr gaps(dic_create());
    dic_set_str(gaps.get(), "0", "first");
    dic_set_str(gaps.get(), "2", "third");
    dic_set_dic(d.get(), "gaps", gaps.get());
    back = dic_get_str_parray(d.get(), "gaps");
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(parray_count(back), 1);
    EXPECT_STREQ(static_cast<char *>(parray_at(back, 0)), "first");
    parray_destroy_free(back);

    parray *empty = parray_create(0);
    ASSERT_EQ(dic_set_str_parray(d.get(), "empty", empty), 0);
    parray_destroy(empty);
    DicPtr e(dic_get_dic(d.get(), "empty"));
    EXPECT_EQ(dic_get_count(e.get()), 0);
    EXPECT_EQ(dic_get_str_parray(d.get(), "empty"), nullptr);
}

TEST(Dic, KeysHasKeyAndStringCopies)
{
    DicPtr d(dic_create());
    dic_set_str(d.get(), "b", "1");
    dic_set_str(d.get(), "a", "2");
    dic_set_str(d.get(), "\xc3\xa9t\xc3\xa9", "3");
    int n = dic_get_count(d.get());
    char **keys = dic_get_keys(d.get());
    ASSERT_NE(keys, nullptr);
    std::set<std::string> seen;
    for (int i = 0; i < n; ++i) {
        seen.insert(keys[i]);
        free(keys[i]);
    }
    free(keys);
    EXPECT_EQ(seen, (std::set<std::string>{"a", "b", "\xc3\xa9t\xc3\xa9"}));

    plobj *k = plobj_string_create("a");
    plobj *missing = plobj_string_create("zz");
    EXPECT_EQ(dic_has_key(d.get(), k), 1);
    EXPECT_EQ(dic_has_key(d.get(), missing), 0);
    CStr copy(Copy_CFStringRefToCString(k));
    EXPECT_STREQ(copy.get(), "a");
    plobj_release(k);
    plobj_release(missing);
}

TEST(Dic, LoadingRefusesAnythingButADictionaryFile)
{
    TempDir dir;
    EXPECT_EQ(dic_load_from_file(nullptr), nullptr);
    EXPECT_EQ(dic_load_from_file(""), nullptr);
    EXPECT_EQ(dic_load_from_file(dir.file("missing.plist").c_str()), nullptr);
    EXPECT_EQ(dic_load_from_file(dir.write("text", "not a plist at all").c_str()), nullptr);
    EXPECT_EQ(dic_load_from_file(dir.write("empty", "").c_str()), nullptr);
    std::string sample(kSample);
    EXPECT_EQ(dic_load_from_file(dir.write("cut", sample.substr(0, sample.size() / 2)).c_str()), nullptr);
    EXPECT_EQ(dic_load_from_file(dir.write("arr", "<plist version=\"1.0\"><array><string>x</string></array></plist>")
                                     .c_str()),
              nullptr)
        << "a root that is not a dictionary";
    EXPECT_EQ(dic_load_from_file(dir.write("str", "<plist version=\"1.0\"><string>x</string></plist>").c_str()),
              nullptr);
    EXPECT_EQ(dic_load_from_file(dir.path().c_str()), nullptr) << "a directory";
    EXPECT_EQ(dic_load_from_file("/tmp/\xff.plist"), nullptr);

    EXPECT_EQ(dic_load_from_fd(0), nullptr);
    EXPECT_EQ(dic_load_from_fd(-3), nullptr);
    int fd = open(dir.file("empty").c_str(), O_RDONLY);
    EXPECT_EQ(dic_load_from_fd(fd), nullptr);
    close(fd);
    fd = open(dir.file("arr").c_str(), O_RDONLY);
    EXPECT_EQ(dic_load_from_fd(fd), nullptr);
    close(fd);
}

// Objects referred to over and over expand into far more than the file holds; the
// readers refuse such files before building anything, yet keep what honest writers share.
TEST(Dic, ExpansionBombsAreRefusedAndSharedLeavesStillLoad)
{
    using namespace bwv::test;
    const struct {
        const char *shape;
        std::string bytes;
        bool loads;
    } cases[] = {
        {"2^20 copies of a boolean", doubling_bomb(20, {"\x09", {}}), false},
        {"2^64 copies of a boolean", doubling_bomb(64, {"\x09", {}}), false},
        {"2^15 copies of a 4 KB string", doubling_bomb(15, bplist_string(std::string(4096, 'x'))), false},
        {"one string in 3000 places",
         bplist({bplist_dict({1}, {2}), bplist_string("Bomb"), bplist_array(std::vector<uint64_t>(3000, 3)),
                 bplist_string("a key every record repeats")}),
         true},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shape);
        std::string path = dir.write("bomb.plist", c.bytes);
        DicPtr from_file(dic_load_from_file(path.c_str()));
        EXPECT_EQ(from_file != nullptr, c.loads);
        int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        DicPtr from_fd(dic_load_from_fd(fd));
        close(fd);
        EXPECT_EQ(from_fd != nullptr, c.loads);
    }
}

TEST(Dic, DescriptorLoadIsImmutableAndLeavesTheDescriptorAlone)
{
    TempDir dir;
    std::string path = dir.write("conf.plist", kSample);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
    DicPtr d(dic_load_from_fd(fd));
    ASSERT_TRUE(d);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 5);
    EXPECT_EQ(str(d.get(), "name"), "BrindleWave");
    EXPECT_EQ(dic_get_int(d.get(), "n"), 42);

    EXPECT_EQ(dic_set_str(d.get(), "name", "changed"), -1);
    EXPECT_EQ(dic_set_int(d.get(), "n", 1), -1);
    EXPECT_EQ(dic_set_boolean(d.get(), "flag", 0), -1);
    DicPtr other(dic_create());
    EXPECT_EQ(dic_set_dic(d.get(), "x", other.get()), -1);
    ArrayPtr arr(array_create());
    EXPECT_EQ(dic_set_array(d.get(), "x", arr.get()), -1);
    parray *list = parray_create(0);
    EXPECT_EQ(dic_set_str_parray(d.get(), "x", list), -1);
    parray_destroy(list);
    DicPtr nested(dic_get_dic(d.get(), "nested"));
    EXPECT_EQ(dic_set_str(nested.get(), "inner", "y"), -1) << "immutable down to nested dictionaries";
    ArrayPtr frozen_list(dic_get_array(d.get(), "list"));
    EXPECT_EQ(array_append_dic(frozen_list.get(), other.get()), -1);
    EXPECT_EQ(str(d.get(), "name"), "BrindleWave");
    EXPECT_EQ(dic_get_count(d.get()), 5);
    EXPECT_EQ(str(nested.get(), "inner"), "x");
    close(fd);
}

TEST(Dic, SaveAndLoadRoundTripThroughFileAndDescriptor)
{
    TempDir dir;
    DicPtr d(dic_create());
    dic_set_str(d.get(), "s", "a < b & c");
    dic_set_int(d.get(), "i", -7);
    dic_set_boolean(d.get(), "b", 1);
    DicPtr inner(dic_create());
    dic_set_str(inner.get(), "deep", "yes");
    dic_set_dic(d.get(), "inner", inner.get());

    std::string path = dir.file("out.plist");
    ASSERT_EQ(dic_save_to_file(d.get(), path.c_str()), 0);
    std::string text = TempDir::read(path);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist", 0), 0u);
    EXPECT_NE(text.find("\t<key>inner</key>\n\t<dict>\n\t\t<key>deep</key>"), std::string::npos);
    EXPECT_NE(text.find("a &lt; b &amp; c"), std::string::npos);
    DicPtr back(dic_load_from_file(path.c_str()));
    ASSERT_TRUE(back);
    EXPECT_TRUE(pl::equal(back->ref, d->ref));

    // Saving over a longer file leaves none of the old tail behind.
    dir.write("long.plist", std::string(100000, 'x'));
    ASSERT_EQ(dic_save_to_file(d.get(), dir.file("long.plist").c_str()), 0);
    EXPECT_EQ(TempDir::read(dir.file("long.plist")), text);

    int fd = open(dir.write("fd.plist", std::string(50000, 'y')).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dic_save_to_fd(d.get(), fd), 0);
    EXPECT_EQ(TempDir::read(dir.file("fd.plist")), text);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    DicPtr from_fd(dic_load_from_fd(fd));
    ASSERT_TRUE(from_fd);
    EXPECT_TRUE(pl::equal(from_fd->ref, d->ref));
    close(fd);

    int ro = open(dir.file("fd.plist").c_str(), O_RDONLY);
    EXPECT_EQ(dic_save_to_fd(d.get(), ro), -2) << "a descriptor that cannot be written";
    close(ro);

    // A pipe cannot be truncated but takes the whole list all the same.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_LT(text.size(), 65536u) << "must fit the pipe without a reader";
    EXPECT_EQ(dic_save_to_fd(d.get(), pipe_fds[1]), 0);
    close(pipe_fds[1]);
    std::string piped;
    char chunk[4096];
    for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;)
        piped.append(chunk, static_cast<size_t>(n));
    close(pipe_fds[0]);
    EXPECT_EQ(piped, text);

    EXPECT_LT(dic_save_to_file(d.get(), dir.file("no/such/dir.plist").c_str()), -2);
}

TEST(Dic, ASaveThatFailsPartWayLeavesTheOldFileWhole)
{
    TempDir dir;
    std::string path = dir.write("conf.plist", kSample);
    DicPtr d(dic_create());
    dic_set_str(d.get(), "big", std::string(200000, 'x').c_str());
    // A file-size limit stands in for a full disk: the write stops part way.
    int rc = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        return dic_save_to_file(d.get(), path.c_str()) == -10 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0) << "the failure is reported";
    EXPECT_EQ(TempDir::read(path), kSample);
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"conf.plist"}) << "no temporary file is left";
}

TEST(Dic, SavingThroughALinkReplacesTheFileItNames)
{
    TempDir dir;
    DicPtr d(dic_create());
    dic_set_str(d.get(), "k", "v");
    std::string real = dir.write("real.plist", "old");
    ASSERT_EQ(symlink("real.plist", dir.file("link.plist").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("link.plist").c_str(), dir.file("link2.plist").c_str()), 0);
    ASSERT_EQ(dic_save_to_file(d.get(), dir.file("link2.plist").c_str()), 0);
    struct stat st {};
    ASSERT_EQ(lstat(dir.file("link.plist").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat(dir.file("link2.plist").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    DicPtr back(dic_load_from_file(real.c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(str(back.get(), "k"), "v");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"link.plist", "link2.plist", "real.plist"}));
}

TEST(Dic, AFolderThatTakesNoNewFileStillLetsAWritableFileBeSaved)
{
    TempDir dir;
    DicPtr d(dic_create());
    dic_set_str(d.get(), "k", "v");
    std::string folder = dir.file("locked");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::string path = dir.write("locked/conf.plist", "old");
    chmod(path.c_str(), 0666);
    chmod(folder.c_str(), 0555);
    chmod(dir.path().c_str(), 0755);
    // Folder permissions do not bind root, so the save runs as nobody there.
    int rc = in_child([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 2;
        return dic_save_to_file(d.get(), path.c_str()) == 0 ? 0 : 1;
    });
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(rc, 0);
    DicPtr back(dic_load_from_file(path.c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(str(back.get(), "k"), "v");
}

TEST(Dic, AReaderThatHasGoneCostsTheWriterAnErrorNotItsLife)
{
    DicPtr d(dic_create());
    dic_set_str(d.get(), "k", "v");
    for (bool socket : {false, true}) {
        SCOPED_TRACE(socket ? "socket" : "pipe");
        int fds[2];
        ASSERT_EQ(socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds), 0);
        close(fds[0]);
        EXPECT_EQ(dic_save_to_fd(d.get(), fds[1]), -2);
        close(fds[1]);
    }
    sigset_t pending, blocked;
    sigpending(&pending);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    EXPECT_FALSE(sigismember(&blocked, SIGPIPE)) << "the caller's signal mask is restored";
}

TEST(Dic, SecretFilesAreOwnerOnlyFromCreationOn)
{
    TempDir dir;
    DicPtr d(dic_create());
    dic_set_str(d.get(), "password", "hunter2");
    mode_t old_mask = umask(022);

    std::string secret = dir.file("fav.plist.bak");
    ASSERT_EQ(dic_save_to_file(d.get(), secret.c_str()), 0);
    EXPECT_EQ(mode_of(secret), 0600u);

    std::string existing = dir.write("av.plist", "old");
    chmod(existing.c_str(), 0644);
    ASSERT_EQ(dic_save_to_file(d.get(), existing.c_str()), 0);
    EXPECT_EQ(mode_of(existing), 0600u);

    // A failed save still narrows an existing file.
    std::string blocked = dir.file("blocked-av.plist");
    mkdir(blocked.c_str(), 0755);
    EXPECT_LT(dic_save_to_file(d.get(), blocked.c_str()), -2);
    EXPECT_EQ(mode_of(blocked), 0600u);

    std::string plain = dir.file("plain.plist");
    ASSERT_EQ(dic_save_to_file(d.get(), plain.c_str()), 0);
    EXPECT_EQ(mode_of(plain), 0644u) << "other paths keep the usual creation mode";
    chmod(plain.c_str(), 0640);
    ASSERT_EQ(dic_save_to_file(d.get(), plain.c_str()), 0);
    EXPECT_EQ(mode_of(plain), 0640u) << "and an existing mode is left alone";
    umask(old_mask);
}

TEST(Dic, ShowPrintsTheDescription)
{
    DicPtr d(dic_create());
    dic_set_str(d.get(), "key", "two words");
    dic_set_int(d.get(), "n", 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dic_show(d.get()), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\n\tDictionary description is: \n{\n    key = \"two words\";\n    n = 3;\n}\n");
}

}  // namespace
