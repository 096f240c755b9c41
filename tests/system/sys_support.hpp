// Shared by the process and system service tests: a private folder that doubles as a
// fake root, small tool scripts placed in it, and copies of the helper program.
#pragma once

#include <gtest/gtest.h>

#include <bwvutil/paths.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace bwv::test {

class TempRoot {
public:
    TempRoot()
    {
        // Under /tmp itself, not $TMPDIR: socket paths below it must fit an address.
        std::string templ = "/tmp/bwvsys-XXXXXX";
        if (!mkdtemp(templ.data()))
            ADD_FAILURE() << "mkdtemp failed";
        path_ = templ;
    }
    ~TempRoot()
    {
        bwv_set_root(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &path() const { return path_; }
    std::string file(std::string_view rel) const { return path_ + "/" + std::string(rel); }
    void use_as_root() const { bwv_set_root(path_.c_str()); }

    std::string mkdirs(std::string_view rel) const
    {
        std::string p = file(rel);
        std::filesystem::create_directories(p);
        return p;
    }
    std::string write(std::string_view rel, std::string_view content, mode_t mode = 0644) const
    {
        std::string p = file(rel);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        std::ofstream(p, std::ios::binary | std::ios::trunc)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        chmod(p.c_str(), mode);
        return p;
    }
    // A /bin/sh script; "@ROOT@" in the body stands for this folder.
    std::string script(std::string_view rel, std::string body) const
    {
        for (size_t at; (at = body.find("@ROOT@")) != std::string::npos;)
            body.replace(at, 6, path_);
        return write(rel, "#!/bin/sh\n" + body, 0755);
    }
    bool exists(std::string_view rel) const
    {
        struct stat st;
        return lstat(file(rel).c_str(), &st) == 0;
    }
    std::string read(std::string_view rel) const { return slurp(file(rel)); }

    static std::string slurp(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string path_;
};

// The helper program of these tests, copied under another name.
inline std::string copy_helper(const TempRoot &root, std::string_view name)
{
    std::string dst = root.file(name);
    std::filesystem::copy_file(BWV_SYSTEM_CHILD, dst, std::filesystem::copy_options::overwrite_existing);
    chmod(dst.c_str(), 0755);
    return dst;
}

}  // namespace bwv::test
