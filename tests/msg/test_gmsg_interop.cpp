// Our message archives against an independent reader (python3's plistlib), and Apple's
// keyed archives (BWV_INTEROP_DIR/keyed-archives, provenance in its SOURCES.md) against
// our reader.
#include <gtest/gtest.h>

#include <bwvutil/gmsg.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/core/keyed_archive.hpp"
#include "platform/core/plobj.hpp"

namespace pl = bwv::pl;

namespace {

const std::string kArchives = std::string(BWV_INTEROP_DIR) + "/keyed-archives";

struct MsgDeleter {
    void operator()(gmsg *m) const { gmsg_release(m); }
};
using Msg = std::unique_ptr<gmsg, MsgDeleter>;

// A canonical text of a decoded value, written the same way by the python oracle below:
// dictionaries with sorted keys, text and data as hex, reals and dates by their bits.
std::string hex(const void *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<const unsigned char *>(p)[i];
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

std::string bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    unsigned char be[8];
    for (int i = 0; i < 8; ++i) be[i] = static_cast<unsigned char>(b >> (56 - 8 * i));
    return hex(be, 8);
}

std::string canon(const plobj *o, bool skip_reserved = false) {
    switch (pl::kind(o)) {
    case pl::Kind::String: {
        auto &s = pl::string_value(o);
        return "s" + hex(s.data(), s.size());
    }
    case pl::Kind::Integer:
        return "i" + std::to_string(pl::int_value(o));
    case pl::Kind::Boolean:
        return pl::bool_value(o) ? "b1" : "b0";
    case pl::Kind::Real:
        return "r" + bits(pl::real_value(o));
    case pl::Kind::Date:
        return "t" + bits(pl::date_value(o));
    case pl::Kind::Data: {
        auto &d = pl::data_value(o);
        return "d" + hex(d.data(), d.size());
    }
    case pl::Kind::Array: {
        std::string out = "[";
        for (size_t i = 0; i < pl::count(o); ++i) out += (i ? "," : "") + canon(pl::array_at(o, i));
        return out + "]";
    }
    case pl::Kind::Dict: {
        std::string out = "{";
        bool first = true;
        for (auto &[k, v] : pl::dict_entries(o)) {
            if (skip_reserved && (k == "_c_type_" || k == "_m_type_")) continue;
            out += (first ? "" : ",") + ("s" + hex(k.data(), k.size())) + ":" + canon(v);
            first = false;
        }
        return out + "}";
    }
    }
    return "?";
}

// Decodes a keyed archive generically (both the binary and the XML UID forms) and prints
// its canonical text, "UNSUPPORTED" for classes outside Foundation's plain value classes,
// or "NOROOT" when $top has no root.
const char *kOracle = R"PY(
import plistlib, struct, sys
d = plistlib.load(open(sys.argv[1], 'rb'))
objs = d['$objects']
def uid(x):
    if isinstance(x, plistlib.UID): return x.data
    if isinstance(x, dict) and list(x) == ['CF$UID']: return x['CF$UID']
    raise ValueError('not a uid')
class Unsupported(Exception): pass
def h(b): return b.hex()
def key(u):
    k = objs[uid(u)]
    # A number key is kept as its decimal text.
    if isinstance(k, int) and not isinstance(k, bool): return 's' + h(str(k).encode())
    return canon(u)
def canon(u):
    o = objs[uid(u)]
    if isinstance(o, bool): return 'b1' if o else 'b0'
    if isinstance(o, int): return 'i%d' % o
    if isinstance(o, float): return 'r' + h(struct.pack('>d', o))
    if isinstance(o, str): return 's' + h(o.encode())
    if isinstance(o, bytes): return 'd' + h(o)
    cls = objs[uid(o['$class'])]['$classname']
    if cls in ('NSDictionary', 'NSMutableDictionary'):
        items = sorted((key(k), canon(v)) for k, v in zip(o['NS.keys'], o['NS.objects']))
        return '{' + ','.join(k + ':' + v for k, v in items) + '}'
    if cls in ('NSArray', 'NSMutableArray'):
        return '[' + ','.join(canon(v) for v in o['NS.objects']) + ']'
    if cls in ('NSString', 'NSMutableString'): return 's' + h(o['NS.string'].encode())
    if cls in ('NSData', 'NSMutableData'): return 'd' + h(o['NS.data'])
    if cls == 'NSDate': return 't' + h(struct.pack('>d', float(o['NS.time'])))
    raise Unsupported(cls)
if 'root' not in d['$top']:
    print('NOROOT')
else:
    try: print(canon(d['$top']['root']))
    except Unsupported: print('UNSUPPORTED')
)PY";

// Checks our own archives' structure, independently of our reader.
const char *kStructure = R"PY(
import plistlib, sys
d = plistlib.load(open(sys.argv[1], 'rb'))
assert open(sys.argv[1], 'rb').read(8) == b'bplist00'
assert d['$archiver'] == 'NSKeyedArchiver'
assert d['$version'] == 100000
objs = d['$objects']
assert objs[0] == '$null'
assert isinstance(d['$top']['root'], plistlib.UID)
def walk(u):
    o = objs[u.data]
    if isinstance(o, dict):
        cls = objs[o['$class'].data]
        assert cls == {'$classname': 'NSMutableDictionary',
                       '$classes': ['NSMutableDictionary', 'NSDictionary', 'NSObject']}, cls
        assert len(o['NS.keys']) == len(o['NS.objects'])
        out = {}
        for k, v in zip(o['NS.keys'], o['NS.objects']):
            key = objs[k.data]
            assert isinstance(key, str)
            out[key] = walk(v)
        return out
    assert isinstance(o, (str, int, bytes, float)), type(o)
    return o
print(repr(sorted(walk(d['$top']['root']).items())))
)PY";

std::string run_python(const char *script, const std::string &file) {
    char dir[] = "/tmp/bwv-gmsg-py-XXXXXX";
    if (!mkdtemp(dir)) return "mkdtemp failed";
    std::string script_path = std::string(dir) + "/s.py";
    std::ofstream(script_path) << script;
    std::string cmd = "python3 '" + script_path + "' '" + file + "' 2>&1";
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    unlink(script_path.c_str());
    rmdir(dir);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::vector<unsigned char> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        ADD_FAILURE() << "cannot read " << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The archive in a message buffer: 12-byte header, archive, closing zero byte.
std::vector<unsigned char> wrap(const std::vector<unsigned char> &archive) {
    std::vector<unsigned char> buf(12, 0);
    uint32_t total = static_cast<uint32_t>(archive.size() + 13);
    std::memcpy(buf.data(), &total, 4);
    buf.insert(buf.end(), archive.begin(), archive.end());
    buf.push_back(0);
    return buf;
}

Msg parse_file(const std::string &path) {
    auto buf = wrap(read_file(path));
    return Msg(gmsg_parse_buffer(buf.data(), static_cast<int>(buf.size())));
}

std::string str_r(gmsg *m, const char *key) {
    char buf[256];
    return gmsg_get_str_r(m, key, buf, sizeof buf) ? std::string(buf) : "<none>";
}

TEST(GmsgInterop, PlistlibReadsOurArchiveAsAFoundationKeyedArchive) {
    Msg m(gmsg_create(1, 2));
    gmsg_add_str(m.get(), "name", "Mises \xc3\xa0 jour");
    gmsg_add_int(m.get(), "count", -5);
    gmsg_add_bin(m.get(), "blob", "\x01\x02", 2);
    Msg inner(gmsg_create(3, 4));
    gmsg_add_str(inner.get(), "name", "inner");  // the same key text is shared
    gmsg_add_msg(m.get(), "inner", inner.get());

    uint32_t len = 0;
    void *buf = gmsg_gen_buffer(m.get(), &len);
    ASSERT_NE(buf, nullptr);
    char dir[] = "/tmp/bwv-gmsg-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/archive.bplist";
    std::ofstream(file, std::ios::binary).write(static_cast<char *>(buf) + 12, len - 13);
    std::free(buf);

    EXPECT_EQ(run_python(kStructure, file),
              "[('_c_type_', 1), ('_m_type_', 2), ('blob', b'\\x01\\x02'), ('count', '-5'), "
              "('inner', {'_c_type_': 3, '_m_type_': 4, 'name': 'inner'}), "
              "('name', 'Mises \xc3\xa0 jour')]");
    unlink(file.c_str());
    rmdir(dir);
}

TEST(GmsgInterop, EveryCorpusArchiveDecodesAsPlistlibDoesOrGivesTheEmptyMessage) {
    DIR *d = opendir(kArchives.c_str());
    ASSERT_NE(d, nullptr) << kArchives;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 12u);

    std::set<std::string> decoded;
    for (auto &name : names) {
        SCOPED_TRACE(name);
        std::string path = kArchives + "/" + name;
        std::string expected = run_python(kOracle, path);
        Msg m = parse_file(path);
        ASSERT_TRUE(m);
        std::string got = canon(gmsg_content(m.get()), true);
        if (expected == "UNSUPPORTED" || expected == "NOROOT" || expected[0] != '{') {
            EXPECT_EQ(m->c_type, 0);
            EXPECT_EQ(m->m_type, 0);
            EXPECT_EQ(got, "{}");
            EXPECT_EQ(pl::count(gmsg_content(m.get())), 2u);
        } else {
            EXPECT_EQ(got, expected);
            decoded.insert(name);
        }
    }
    // The dictionary-rooted archives of plain Foundation classes are exactly these.
    EXPECT_EQ(decoded, (std::set<std::string>{
                           "instruments-config-dict-int64.bplist",
                           "ios-ax-audit-node-nested-dict.bplist",
                           "ios-dtx-capabilities-dict.bplist",
                           "ios-sysmon-nested-mutable-dict.bplist",
                           "macos-simpleDict.bplist",
                       }));
}

TEST(GmsgInterop, DeviceCapabilitiesBecomeIntegers) {
    Msg m = parse_file(kArchives + "/ios-dtx-capabilities-dict.bplist");
    EXPECT_EQ(pl::count(gmsg_content(m.get())), 4u);
    EXPECT_EQ(gmsg_get_int(m.get(), "com.apple.private.DTXBlockCompression"), 2);
    EXPECT_EQ(gmsg_get_int(m.get(), "com.apple.private.DTXConnection"), 1);
    EXPECT_EQ(gmsg_get_str(m.get(), "com.apple.private.DTXConnection"), nullptr);
}

TEST(GmsgInterop, InstrumentsConfigurationKeepsNegativeIntegersAndBooleans) {
    Msg m = parse_file(kArchives + "/instruments-config-dict-int64.bplist");
    EXPECT_EQ(pl::count(gmsg_content(m.get())), 13u);
    EXPECT_EQ(gmsg_get_int(m.get(), "targetPID"), 21761);
    EXPECT_EQ(gmsg_get_int(m.get(), "pidToInjectCombineDYLIB"), -1);
    EXPECT_EQ(gmsg_get_int(m.get(), "ur"), 500);
    EXPECT_EQ(gmsg_get_int(m.get(), "trackExpiredPIDs"), 1);
    EXPECT_EQ(gmsg_get_int(m.get(), "signpostsAndLogs"), 0);
    EXPECT_EQ(str_r(m.get(), "predicate"),
              "(category == 'InduceCondition') AND (subsystem == "
              "'com.apple.ConditionInducer.LowSeverity')");
}

TEST(GmsgInterop, DeviceAuditNodeNestsSevenLevelsWithUtf16TextAndMutableData) {
    Msg m = parse_file(kArchives + "/ios-ax-audit-node-nested-dict.bplist");
    EXPECT_EQ(str_r(m.get(), "ObjectType"), "AXAuditNode_v1");
    Msg l1(gmsg_get_msg(m.get(), "Value"));
    ASSERT_TRUE(l1);
    EXPECT_EQ(str_r(l1.get(), "ObjectType"), "passthrough");
    Msg l2(gmsg_get_msg(l1.get(), "Value"));
    ASSERT_TRUE(l2);
    Msg label(gmsg_get_msg(l2.get(), "HumanReadableDescriptionValue_v1"));
    ASSERT_TRUE(label);
    EXPECT_EQ(str_r(label.get(), "Value"), "Duolingo Mises \xc3\xa0 jour fr\xc3\xa9quentes");
    Msg role(gmsg_get_msg(l2.get(), "HumanReadableRoleDescriptionValue_v1"));
    ASSERT_TRUE(role);
    EXPECT_EQ(str_r(role.get(), "Value"), "Mises \xc3\xa0 jour fr\xc3\xa9quentes");
    EXPECT_EQ(str_r(role.get(), "ObjectType"), "passthrough");
    // AuditElementValue_v1 → Value → PlatformElementValue_v1 → Value: NSMutableData.
    Msg a(gmsg_get_msg(l2.get(), "AuditElementValue_v1"));
    ASSERT_TRUE(a);
    Msg b(gmsg_get_msg(a.get(), "Value"));
    ASSERT_TRUE(b);
    Msg c(gmsg_get_msg(b.get(), "Value"));
    ASSERT_TRUE(c);
    Msg e(gmsg_get_msg(c.get(), "PlatformElementValue_v1"));
    ASSERT_TRUE(e);
    uint32_t len = 0;
    auto *bytes = static_cast<const unsigned char *>(gmsg_get_bin(e.get(), "Value", &len));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(bytes[0], 0x1e);
    EXPECT_EQ(bytes[1], 0x23);
}

TEST(GmsgInterop, ProcessSampleKeyedByANumberIsReachableByItsText) {
    Msg m = parse_file(kArchives + "/ios-sysmon-nested-mutable-dict.bplist");
    Msg proc(gmsg_get_msg(m.get(), "40400"));
    ASSERT_TRUE(proc);
    EXPECT_EQ(gmsg_get_int(proc.get(), "pid"), 40400);
    EXPECT_EQ(gmsg_get_int(proc.get(), "disk.bytes"), 204800);
    const plobj *files = pl::dict_get(gmsg_content(proc.get()), "disk.openfiles[]");
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(pl::kind(files), pl::Kind::Array);
    EXPECT_EQ(pl::count(files), 3u);
    EXPECT_EQ(pl::kind(pl::dict_get(gmsg_content(proc.get()), "time")), pl::Kind::Date);
}

TEST(GmsgInterop, DecodedForeignMessagesArchiveAgainUnchanged) {
    for (const char *name : {"ios-ax-audit-node-nested-dict.bplist",
                             "ios-sysmon-nested-mutable-dict.bplist", "macos-simpleDict.bplist"}) {
        SCOPED_TRACE(name);
        Msg m = parse_file(kArchives + "/" + name);
        uint32_t len = 0;
        void *buf = gmsg_gen_buffer(m.get(), &len);
        ASSERT_NE(buf, nullptr);
        Msg back(gmsg_parse_buffer(buf, static_cast<int>(len)));
        std::free(buf);
        EXPECT_EQ(canon(gmsg_content(back.get())), canon(gmsg_content(m.get())));
    }
}

// Hand-made archives of the forms Foundation writes but our writer never does, and of
// the damage a reader must survive.
TEST(GmsgInterop, ReaderAcceptsWrappedStringsAndDataAndRejectsDamage) {
    auto check = [](const std::string &python_literal, const char *expect) {
        char dir[] = "/tmp/bwv-gmsg-ka-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        std::string file = std::string(dir) + "/a.bplist";
        std::string script =
            "import plistlib, sys\nU = plistlib.UID\n"
            "open(sys.argv[1], 'wb').write(plistlib.dumps(" +
            python_literal + ", fmt=plistlib.FMT_BINARY))\nprint('ok')\n";
        ASSERT_EQ(run_python(script.c_str(), file), "ok");
        Msg m = parse_file(file);
        ASSERT_TRUE(m);
        EXPECT_EQ(canon(gmsg_content(m.get()), true), expect) << python_literal;
        unlink(file.c_str());
        rmdir(dir);
    };
    const std::string dict_class =
        "{'$classname': 'NSDictionary', '$classes': ['NSDictionary', 'NSObject']}";
    auto archive = [&](const std::string &objects, const std::string &top = "{'root': U(1)}") {
        return "{'$version': 100000, '$archiver': 'NSKeyedArchiver', '$top': " + top +
               ", '$objects': ['$null', " + objects + "]}";
    };
    // NSMutableString and NSData objects are unwrapped.
    check(archive("{'NS.keys': [U(2), U(3)], 'NS.objects': [U(4), U(6)], '$class': U(8)}, "
                  "'s', 'd', {'NS.string': 'hi', '$class': U(5)}, "
                  "{'$classname': 'NSMutableString', '$classes': ['NSMutableString', "
                  "'NSString', 'NSObject']}, {'NS.data': b'\\x07', '$class': U(7)}, "
                  "{'$classname': 'NSData', '$classes': ['NSData', 'NSObject']}, " +
                  dict_class),
          "{s64:d07,s73:s6869}");
    // A UID past the end of $objects.
    check(archive("{'NS.keys': [U(2)], 'NS.objects': [U(9)], '$class': U(3)}, 'k', " + dict_class),
          "{}");
    // A dictionary that holds itself.
    check(archive("{'NS.keys': [U(2)], 'NS.objects': [U(1)], '$class': U(3)}, 'k', " + dict_class),
          "{}");
    // Keys and objects of different lengths; a key that is neither text nor an integer;
    // two keys of one text; $null as a value.
    check(archive("{'NS.keys': [U(2)], 'NS.objects': [], '$class': U(3)}, 'k', " + dict_class),
          "{}");
    check(archive("{'NS.keys': [U(2)], 'NS.objects': [U(2)], '$class': U(3)}, b'k', " +
                  dict_class),
          "{}");
    check(archive("{'NS.keys': [U(2), U(3)], 'NS.objects': [U(2), U(3)], '$class': U(4)}, 5, "
                  "'5', " + dict_class),
          "{}");
    check(archive("{'NS.keys': [U(2)], 'NS.objects': [U(2)], '$class': U(3)}, -5, " + dict_class),
          "{s2d35:i-5}");
    check(archive("{'NS.keys': [U(2)], 'NS.objects': [U(0)], '$class': U(3)}, 'k', " + dict_class),
          "{}");
    // A class record that is missing, and a root that is not a dictionary.
    check(archive("{'NS.keys': [], 'NS.objects': []}"), "{}");
    check(archive("'just text'"), "{}");
    // Another archiver's name.
    check("{'$version': 100000, '$archiver': 'Other', '$top': {'root': U(1)}, "
          "'$objects': ['$null', {'NS.keys': [], 'NS.objects': [], '$class': U(2)}, " +
              dict_class + "]}",
          "{}");
}

}  // namespace
