#include "tools/standins/xar/facts.hpp"

#include <expat.h>

#include <algorithm>
#include <memory>

#include "lib/base/version.hpp"
#include "tools/standins/xar/xar.hpp"

namespace bwv::pkg {
namespace {

// A package is hostile until its facts are judged: what is read from it stays small.
constexpr size_t kMaxPackageXml = 1 << 20;  // each Distribution or PackageInfo
constexpr size_t kMaxTotalXml = 4 << 20;
constexpr size_t kMaxXmlFiles = 64;
constexpr size_t kMaxFacts = 256;  // distinct identifiers, and distinct versions
constexpr size_t kMaxFactLength = 255;

struct Reader {
    Facts facts;
    bool overflow = false;
    XML_Parser parser = nullptr;

    void add(std::vector<std::string> &to, std::string_view value) {
        if (std::find(to.begin(), to.end(), value) != to.end()) return;
        if (to.size() >= kMaxFacts || value.size() > kMaxFactLength) {
            overflow = true;
            XML_StopParser(parser, XML_FALSE);
            return;
        }
        to.emplace_back(value);
    }
};

void on_element(void *ud, const XML_Char *name, const XML_Char **atts) {
    auto &r = *static_cast<Reader *>(ud);
    std::string_view n = name;
    if (n != "pkg-ref" && n != "pkg-info") return;
    const std::string_view id_key = n == "pkg-ref" ? "id" : "identifier";
    for (; atts[0] && !r.overflow; atts += 2) {
        std::string_view key = atts[0];
        if (key == "version") r.add(r.facts.versions, atts[1]);
        if (key == id_key) r.add(r.facts.identifiers, atts[1]);
    }
}

bool is_info_file(const std::string &p) {
    return p == "Distribution" || p == "PackageInfo" ||
           (p.size() > 12 && p.compare(p.size() - 12, 12, "/PackageInfo") == 0);
}

}  // namespace

std::optional<Facts> read_facts(const std::string &pkg_path) {
    try {
        return read_facts(xar::FileSource(pkg_path));
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::optional<Facts> read_facts(const xar::Source &src) {
    try {
        xar::Package pkg = xar::parse(src);
        Reader r;
        size_t files = 0, total = 0;
        for (const auto &e : pkg.entries) {
            if (e.type != "file" || !is_info_file(e.path)) continue;
            if (++files > kMaxXmlFiles) return std::nullopt;
            std::string xml = xar::extract(src, pkg, e, std::min(kMaxPackageXml, kMaxTotalXml - total));
            total += xml.size();
            std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr),
                                                                                XML_ParserFree);
            if (!parser) return std::nullopt;
            r.parser = parser.get();
            XML_SetUserData(parser.get(), &r);
            XML_SetStartElementHandler(parser.get(), on_element);
            if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_OK || r.overflow)
                return std::nullopt;
        }
        return std::move(r.facts);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

Verdict judge(const Facts &facts, const Product &product, std::string_view offered,
              const std::optional<std::string> &installed, bool same_allowed) {
    if (facts.versions.empty()) return Verdict::no_version;
    if (facts.identifiers.empty() || !std::all_of(facts.identifiers.begin(), facts.identifiers.end(),
                                                  [&](const std::string &id) { return id == product.identifier; }))
        return Verdict::other_product;
    auto wanted = ver::parse_version(offered);
    for (const auto &v : facts.versions) {
        auto recorded = ver::parse_version(v);
        if (!wanted || !recorded || ver::compare_versions(*recorded, *wanted) != 0) return Verdict::other_version;
    }
    auto client = installed ? ver::parse_leading_version(*installed) : std::nullopt;
    if (!client) return Verdict::accepted;
    int order = ver::compare_versions(*wanted, *client);
    if (order < 0) return Verdict::older;
    if (order == 0 && !same_allowed) return Verdict::installed;
    return Verdict::accepted;
}

}  // namespace bwv::pkg
