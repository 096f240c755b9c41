#include <bwvutil/dic.h>

#include "fixture.hpp"
#include "platform/core/plobj.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace bwv::test::alloc;
using AllocFailureDic = AllocFailure;
namespace pl = bwv::pl;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A small dictionary holding every kind of value the dic functions deal in.
dic *sample()
{
    dic *d = dic_create();
    dic_set_str(d, "name", "Brindle \xc3\xa9t\xc3\xa9");
    dic_set_int(d, "count", 42);
    dic_set_boolean(d, "enabled", 1);
    dic *sub = dic_create();
    dic_set_str(sub, "host", "127.0.0.1");
    dic_set_dic(d, "server", sub);
    parray *list = parray_create(0);
    static char a[] = "alpha", b[] = "beta", c[] = "gamma";
    parray_add(list, a);
    parray_add(list, b);
    parray_add(list, c);
    dic_set_str_parray(d, "names", list);
    parray_destroy(list);
    array *arr = array_create();
    array_append_dic(arr, sub);
    dic_set_array(d, "servers", arr);
    array_destroy(arr);
    dic_destroy(sub);
    return d;
}

// Runs a setter on a copy of the sample: it either succeeds and the value reads back, or
// fails with its documented code and the dictionary is exactly as it was.
void check_setter(const std::string &what, int failure_code, const std::function<int(dic *)> &set,
                  bool (*stored)(dic *))
{
    exhaust(what, [&](Attempt &run) {
        dic *d = sample();
        ASSERT_NE(d, nullptr);
        plobj *before = pl::deep_copy(d->ref, true);
        int rc = 1;
        run.during([&] { rc = set(d); });
        if (rc == 0) {
            EXPECT_TRUE(stored(d));
        } else {
            EXPECT_TRUE(run.failed()) << "failed without an allocation failure: " << rc;
            EXPECT_EQ(rc, failure_code);
            EXPECT_TRUE(pl::equal(before, d->ref)) << "a failed setter changed the dictionary";
        }
        plobj_release(before);
        dic_destroy(d);
    });
}

std::string get_str(dic *d, const char *key)
{
    CStr s(dic_get_str(d, key));
    return s ? s.get() : "<null>";
}

TEST_F(AllocFailureDic, CreationGivesNullOrAnEmptyContainer)
{
    exhaust("dic_create", [](Attempt &run) {
        dic *d = nullptr;
        run.during([&] { d = dic_create(); });
        EXPECT_EQ(d == nullptr, run.failed());
        if (d) {
            EXPECT_EQ(dic_get_count(d), 0);
        }
        dic_destroy(d);
    });
    exhaust("array_create", [](Attempt &run) {
        array *a = nullptr;
        run.during([&] { a = array_create(); });
        EXPECT_EQ(a == nullptr, run.failed());
        array_destroy(a);
    });
}

TEST_F(AllocFailureDic, AFailedSetterLeavesTheDictionaryAsItWas)
{
    check_setter(
        "dic_set_str new key", -1, [](dic *d) { return dic_set_str(d, "fresh", "value"); },
        [](dic *d) { return get_str(d, "fresh") == "value"; });
    check_setter(
        "dic_set_str replacing", -1, [](dic *d) { return dic_set_str(d, "name", "other"); },
        [](dic *d) { return get_str(d, "name") == "other"; });
    check_setter(
        "dic_set_int", -3, [](dic *d) { return dic_set_int(d, "port", 443); },
        [](dic *d) { return dic_get_int(d, "port") == 443; });
    check_setter(
        "dic_set_boolean", -1, [](dic *d) { return dic_set_boolean(d, "count", 0); },
        [](dic *d) { return dic_get_int(d, "count") == 0; });
    // The values to store are made outside the runs: only the setter's own allocations fail.
    dic *nested = dic_create();
    check_setter(
        "dic_set_dic", -1, [&](dic *d) { return dic_set_dic(d, "other", nested); },
        [](dic *d) {
            dic *got = dic_get_dic(d, "other");
            bool ok = got && dic_get_count(got) == 0;
            dic_destroy(got);
            return ok;
        });
    dic_destroy(nested);
    array *a = array_create();
    check_setter(
        "dic_set_array", -1, [&](dic *d) { return dic_set_array(d, "list", a); },
        [](dic *d) {
            array *got = dic_get_array(d, "list");
            bool ok = got && array_get_count(got) == 0;
            array_destroy(got);
            return ok;
        });
    array_destroy(a);
}

TEST_F(AllocFailureDic, AStringListIsStoredWholeOrNotAtAll)
{
    static char x[] = "x", y[] = "y";
    parray *list = parray_create(0);
    parray_add(list, x);
    parray_add(list, y);
    check_setter(
        "dic_set_str_parray", -2, [&](dic *d) { return dic_set_str_parray(d, "names", list); },
        [](dic *d) {
            parray *got = dic_get_str_parray(d, "names");
            bool ok = got && parray_count(got) == 2 &&
                      strcmp(static_cast<char *>(parray_at(got, 0)), "x") == 0 &&
                      strcmp(static_cast<char *>(parray_at(got, 1)), "y") == 0;
            parray_destroy_free(got);
            return ok;
        });
    parray_destroy(list);
}

TEST_F(AllocFailureDic, AppendingToAnArrayIsAllOrNothing)
{
    exhaust("array_append_dic", [](Attempt &run) {
        array *a = array_create();
        dic *d = sample();
        int rc = 1;
        run.during([&] { rc = array_append_dic(a, d); });
        if (rc == 0) {
            EXPECT_EQ(array_get_count(a), 1);
        } else {
            EXPECT_TRUE(run.failed());
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(array_get_count(a), 0);
        }
        array_destroy(a);
        // The dictionary's only owner is now the handle: one destroy frees everything.
        dic_destroy(d);
    });
}

TEST_F(AllocFailureDic, ReadersGiveNullOrTheWholeValue)
{
    exhaust("dic_get_str", [](Attempt &run) {
        dic *d = sample();
        char *s = nullptr;
        run.during([&] { s = dic_get_str(d, "name"); });
        if (run.failed()) {
            EXPECT_EQ(s, nullptr);
        } else {
            EXPECT_STREQ(s, "Brindle \xc3\xa9t\xc3\xa9");
        }
        free(s);
        dic_destroy(d);
    });
    exhaust("Copy_CFStringRefToCString", [](Attempt &run) {
        plobj *str = plobj_string_create("some text");
        char *s = nullptr;
        run.during([&] { s = Copy_CFStringRefToCString(str); });
        if (run.failed()) {
            EXPECT_EQ(s, nullptr);
        } else {
            EXPECT_STREQ(s, "some text");
        }
        free(s);
        plobj_release(str);
    });
    exhaust("dic_get_dic and dic_get_array", [](Attempt &run) {
        dic *d = sample();
        dic *sub = nullptr;
        array *arr = nullptr;
        dic *first = nullptr;
        run.during([&] {
            sub = dic_get_dic(d, "server");
            arr = dic_get_array(d, "servers");
            first = arr ? array_get_dic(arr, 0) : nullptr;
        });
        if (!run.failed()) {
            ASSERT_NE(sub, nullptr);
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(sub->ref, first->ref);
        }
        if (sub) {
            EXPECT_EQ(get_str(sub, "host"), "127.0.0.1");
        }
        dic_destroy(first);
        array_destroy(arr);
        dic_destroy(sub);
        dic_destroy(d);
    });
}

TEST_F(AllocFailureDic, KeysComeBackCompleteOrNotAtAll)
{
    exhaust("dic_get_keys", [](Attempt &run) {
        dic *d = sample();
        int n = dic_get_count(d);
        char **keys = nullptr;
        run.during([&] { keys = dic_get_keys(d); });
        if (keys) {
            std::set<std::string> got;
            for (int i = 0; i < n; ++i) {
                EXPECT_NE(keys[i], nullptr) << "key " << i << " missing";
                if (keys[i])
                    got.insert(keys[i]);
                free(keys[i]);
            }
            EXPECT_EQ(keys[n], nullptr);
            EXPECT_EQ(got, (std::set<std::string>{"count", "enabled", "name", "names", "server",
                                                  "servers"}));
            free(keys);
        } else {
            EXPECT_TRUE(run.failed());
        }
        dic_destroy(d);
    });
}

TEST_F(AllocFailureDic, AStringListReadsBackCompleteOrNotAtAll)
{
    exhaust("dic_get_str_parray", [](Attempt &run) {
        dic *d = sample();
        parray *list = nullptr;
        run.during([&] { list = dic_get_str_parray(d, "names"); });
        if (list) {
            ASSERT_EQ(parray_count(list), 3);
            EXPECT_STREQ(static_cast<char *>(parray_at(list, 0)), "alpha");
            EXPECT_STREQ(static_cast<char *>(parray_at(list, 1)), "beta");
            EXPECT_STREQ(static_cast<char *>(parray_at(list, 2)), "gamma");
        } else {
            EXPECT_TRUE(run.failed());
        }
        parray_destroy_free(list);
        dic_destroy(d);
    });
}

class AllocFailureDicFiles : public AllocFailureInDir {
protected:
    void SetUp() override
    {
        AllocFailureInDir::SetUp();
        if (IsSkipped())
            return;
        dic *d = sample();
        xml_path_ = dir_ + "/sample.plist";
        ASSERT_EQ(dic_save_to_file(d, xml_path_.c_str()), 0);
        reference_ = pl::deep_copy(d->ref, true);
        bin_path_ = dir_ + "/sample.bplist";
        write_file(bin_path_, pl::to_binary(d->ref));
        dic_destroy(d);
    }
    void TearDown() override
    {
        plobj_release(reference_);
        AllocFailureInDir::TearDown();
    }

    void check_load(const std::string &what, dic *(*load)(const std::string &path),
                    const std::string &path)
    {
        exhaust(what, [&](Attempt &run) {
            dic *d = nullptr;
            run.during([&] { d = load(path); });
            if (d) {
                EXPECT_TRUE(pl::equal(d->ref, reference_)) << "a load gave a different dictionary";
            } else {
                EXPECT_TRUE(run.failed());
            }
            dic_destroy(d);
        });
    }

    std::string xml_path_, bin_path_;
    plobj *reference_ = nullptr;
};

TEST_F(AllocFailureDicFiles, ALoadGivesNullOrTheWholeDictionary)
{
    auto from_file = [](const std::string &p) { return dic_load_from_file(p.c_str()); };
    auto from_fd = [](const std::string &p) {
        int fd = open(p.c_str(), O_RDONLY);
        dic *d = dic_load_from_fd(fd);
        close(fd);
        return d;
    };
    check_load("dic_load_from_file XML", from_file, xml_path_);
    check_load("dic_load_from_file binary", from_file, bin_path_);
    check_load("dic_load_from_fd XML", from_fd, xml_path_);
    check_load("dic_load_from_fd binary", from_fd, bin_path_);
}

TEST_F(AllocFailureDicFiles, AFailedSaveLeavesTheOldFile)
{
    const std::string expected = read_file(xml_path_);
    const std::string target = dir_ + "/target.plist";
    exhaust("dic_save_to_file", [&](Attempt &run) {
        write_file(target, "old content");
        dic *d = sample();
        int rc = 1;
        run.during([&] { rc = dic_save_to_file(d, target.c_str()); });
        if (rc == 0) {
            EXPECT_EQ(read_file(target), expected);
        } else {
            EXPECT_TRUE(run.failed());
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(read_file(target), "old content");
        }
        dic_destroy(d);
    });
    exhaust("dic_save_to_fd", [&](Attempt &run) {
        write_file(target, "old content");
        int fd = open(target.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        dic *d = sample();
        int rc = 1;
        run.during([&] { rc = dic_save_to_fd(d, fd); });
        close(fd);
        if (rc == 0) {
            EXPECT_EQ(read_file(target), expected);
        } else {
            EXPECT_TRUE(run.failed());
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(read_file(target), "old content");
        }
        dic_destroy(d);
    });
}

}  // namespace
