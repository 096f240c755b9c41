#include <bwvutil/custom.h>
#include <bwvutil/dic.h>
#include <bwvutil/gmsg.h>

#include "fixture.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace bwv::test::alloc;
namespace fs = std::filesystem;

class AllocFailureRebrand : public AllocFailureInDir {
protected:
    void SetUp() override
    {
        AllocFailureInDir::SetUp();
        if (IsSkipped())
            return;
        path_ = dir_ + "/rebrand_text.plist";
        dic *d = dic_create();
        dic_set_str(d, "ProductName", "Kestrel");
        dic_set_str(d, "Welcome", "Hello from Kestrel");
        dic_set_str(d, "Farewell", "Goodbye");
        // Each run changes the file; it starts from this copy.
        ASSERT_EQ(dic_save_to_file(d, (path_ + ".orig").c_str()), 0);
        dic_destroy(d);
    }
    std::string path_;
};

// Child exit codes of one run.
constexpr int kPathEnded = 10;  // the n-th allocation was never reached
constexpr int kWrongText = 11;  // a lookup gave neither the text nor the default
constexpr int kStuck = 12;      // a later lookup with memory to spare lacks a text
constexpr int kLeak = 13;       // a lookup that gave up left blocks behind

bool is(const char *got, const char *want) { return got && std::strcmp(got, want) == 0; }

// The texts are read once per process, so every n runs in a child of its own whose first
// lookup is the one that runs short of memory.
int run_child(const std::string &path, long n)
{
    // The message registry and the plist reader set themselves up once; that is not the
    // cache's to free.
    gmsg_release(gmsg_create(0, 0));
    dic_destroy(dic_load_from_file(path.c_str()));
    begin_tracking();
    arm(n);
    const char *first = getbwvtxt_ex(path.c_str(), "Welcome", "default");
    disarm();
    size_t live = end_tracking();
    if (!failure_injected())
        return is(first, "Hello from Kestrel") ? kPathEnded : kWrongText;
    bool kept = is(first, "Hello from Kestrel");
    if (!kept && !is(first, "default"))
        return kWrongText;
    if (!kept && live != 0)
        return kLeak;
    // A lookup that failed for want of memory must not have fixed a partial set of texts
    // for the rest of the process, nor keep any of it for the next fill: that one reads
    // the file as it is then.
    std::ofstream(path, std::ios::trunc)
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
           "<key>ProductName</key><string>Osprey</string></dict></plist>";
    if (!is(getbwvtxt_ex(path.c_str(), "Welcome", "default"), kept ? "Hello from Kestrel" : "default") ||
        !is(getbwvtxt_ex(path.c_str(), "ProductName", "default"), kept ? "Kestrel" : "Osprey") ||
        !is(getbwvtxt_ex(path.c_str(), "Farewell", "default"), kept ? "Goodbye" : "default"))
        return kStuck;
    return 0;
}

TEST_F(AllocFailureRebrand, AFirstLookupShortOfMemoryDoesNotFixTheTextsForGood)
{
    for (long n = 1; n < 10000; ++n) {
        fs::copy_file(path_ + ".orig", path_, fs::copy_options::overwrite_existing);
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(run_child(path_, n));
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "allocation " << n << ": the child died";
        int code = WEXITSTATUS(status);
        if (code == kPathEnded) {
            std::printf("  getbwvtxt_ex first lookup: %ld allocations failed in turn\n", n - 1);
            return;
        }
        ASSERT_EQ(code, 0) << "allocation " << n << " failing: "
                           << (code == kWrongText ? "a lookup gave a wrong text"
                               : code == kLeak    ? "the failed lookup leaked"
                                                  : "later lookups give other texts than the file's");
    }
    FAIL() << "the path did not end";
}

}  // namespace
