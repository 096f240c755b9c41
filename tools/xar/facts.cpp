#include "tools/xar/facts.hpp"

#include <expat.h>

#include <memory>

#include "tools/xar/xar.hpp"

namespace bwv::xar {
namespace {

constexpr size_t kMaxPackageXml = 1 << 20;

}  // namespace

// The versions a flat package records: every pkg-ref version of its Distribution and the
// version of every component's PackageInfo.
bool package_versions(const std::string &pkg_path, std::vector<std::string> &versions) {
    try {
        bwv::xar::FileSource src(pkg_path);
        bwv::xar::Package pkg = bwv::xar::parse(src);
        for (const auto &e : pkg.entries) {
            const std::string &p = e.path;
            bool info = p == "PackageInfo" ||
                        (p.size() > 12 && p.compare(p.size() - 12, 12, "/PackageInfo") == 0);
            if (e.type != "file" || (p != "Distribution" && !info)) continue;
            std::string xml = bwv::xar::extract(src, pkg, e, kMaxPackageXml);
            std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
                XML_ParserCreate(nullptr), XML_ParserFree);
            if (!parser) return false;
            XML_SetUserData(parser.get(), &versions);
            XML_SetStartElementHandler(parser.get(), [](void *ud, const XML_Char *name,
                                                        const XML_Char **atts) {
                std::string_view n = name;
                if (n != "pkg-ref" && n != "pkg-info") return;
                for (; atts[0]; atts += 2)
                    if (std::string_view(atts[0]) == "version")
                        static_cast<std::vector<std::string> *>(ud)->push_back(atts[1]);
            });
            if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_OK)
                return false;
        }
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace bwv::xar
