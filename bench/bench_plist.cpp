// Loading and saving a large dictionary, against libplist doing the same work alone.
//
// The sample is a 50,000-entry dictionary (strings, integers, booleans, some nested
// dictionaries) of about 3 MB of XML. Compare:
//   BM_DicLoadFromFile   / BM_LibplistParseXml   (goal: at most 1.5)
//   BM_DicSaveToFile     / BM_LibplistWriteXml   (goal: at most 1.5)
#include <bwvutil/dic.h>

#include "lib/core/plobj.hpp"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace pl = bwv::pl;

class Sample {
public:
    static Sample &get() {
        static Sample s;
        return s;
    }
    const std::string &path() const { return path_; }
    const std::string &xml() const { return xml_; }
    const std::string &out_path() const { return out_; }

    ~Sample() { std::filesystem::remove_all(dir_); }

private:
    Sample() {
        std::string templ = (std::filesystem::temp_directory_path() / "bwvbench-XXXXXX").string();
        if (!mkdtemp(templ.data())) abort();
        dir_ = templ;
        path_ = dir_ + "/big.plist";
        out_ = dir_ + "/saved.plist";
        pl::Ref root(pl::make_dict());
        for (int i = 0; i < 50000; ++i) {
            char key[32];
            snprintf(key, sizeof key, "entry-%05d", i);
            pl::Ref v;
            switch (i % 10) {
                case 3:
                    v = pl::Ref(pl::make_int(i * 7));
                    break;
                case 7:
                    v = pl::Ref(pl::make_bool(i % 2 == 0));
                    break;
                case 9: {
                    v = pl::Ref(pl::make_dict());
                    pl::Ref s(pl::make_string("nested " + std::to_string(i)));
                    pl::dict_set(v.get(), "name", s.get());
                    break;
                }
                default:
                    v = pl::Ref(pl::make_string("value of entry " + std::to_string(i)));
            }
            pl::dict_set(root.get(), key, v.get());
        }
        xml_ = pl::to_xml(root.get());
        std::ofstream(path_, std::ios::binary) << xml_;
    }

    std::string dir_, path_, out_, xml_;
};

void BM_LibplistParseXml(benchmark::State &state) {
    const std::string &xml = Sample::get().xml();
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
        benchmark::DoNotOptimize(root);
        state.PauseTiming();
        plist_free(root);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_LibplistParseXml)->Unit(benchmark::kMillisecond);

// Reading the file, parsing, converting into our objects and freeing libplist's tree.
void BM_DicLoadFromFile(benchmark::State &state) {
    const std::string &path = Sample::get().path();
    for (auto _ : state) {
        dic *d = dic_load_from_file(path.c_str());
        if (!d) {
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        dic_destroy(d);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Sample::get().xml().size()));
}
BENCHMARK(BM_DicLoadFromFile)->Unit(benchmark::kMillisecond);

void BM_LibplistWriteXml(benchmark::State &state) {
    const std::string &xml = Sample::get().xml();
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    for (auto _ : state) {
        char *out = nullptr;
        uint32_t len = 0;
        plist_to_xml(root, &out, &len);
        benchmark::DoNotOptimize(out);
        state.PauseTiming();
        free(out);
        state.ResumeTiming();
    }
    plist_free(root);
}
BENCHMARK(BM_LibplistWriteXml)->Unit(benchmark::kMillisecond);

// Serialising and writing the file.
void BM_DicSaveToFile(benchmark::State &state) {
    dic *d = dic_load_from_file(Sample::get().path().c_str());
    for (auto _ : state) {
        if (dic_save_to_file(d, Sample::get().out_path().c_str()) != 0) {
            state.SkipWithError("save failed");
            break;
        }
    }
    dic_destroy(d);
}
BENCHMARK(BM_DicSaveToFile)->Unit(benchmark::kMillisecond);

void BM_DicLoadFromFd(benchmark::State &state) {
    int fd = open(Sample::get().path().c_str(), O_RDONLY);
    for (auto _ : state) {
        dic *d = dic_load_from_fd(fd);
        state.PauseTiming();
        dic_destroy(d);
        state.ResumeTiming();
    }
    close(fd);
}
BENCHMARK(BM_DicLoadFromFd)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
