# Independent reference for property lists and keyed archives: python3's plistlib.
#   plist_oracle.py write DIR          writes case-N.xml and case-N.bin for every sample
#   plist_oracle.py canon FILE...      prints "FILE<TAB>canonical text" per file
#   plist_oracle.py archive FILE...    the same for the root of each keyed archive, decoded as
#                                      Foundation would, or "-" for what it would not decode
#   plist_oracle.py dump FILE LITERAL...  writes the binary plist of each python literal (U: a
#                                      UID; A(objects...): a keyed archive, see archive())
import datetime
import math
import os
import plistlib
import re
import sys

EPOCH = datetime.datetime(2001, 1, 1)
FIELDS = {"NSString": "NS.string", "NSMutableString": "NS.string", "NSData": "NS.data", "NSMutableData": "NS.data"}


class Date(int):
    pass  # whole seconds since 2001: CF's distant past (year 0) has no datetime


def xml_date(text, *_):
    y, mo, d, h, mi, s = map(int, re.findall(r"\d+", text))
    days = datetime.date(y + 400, mo, d).toordinal() - 146097 - EPOCH.toordinal()
    return Date(days * 86400 + h * 3600 + mi * 60 + s)


class BinaryEpoch:
    # What plistlib's binary reader adds a date's seconds to, so that year 0 reads too.
    def __add__(self, delta):
        return Date(math.floor(delta.total_seconds()))


def canon(v):
    # A type-tagged text of a value that the C++ side reproduces exactly.
    if isinstance(v, bool):
        return "T" if v else "F"
    if isinstance(v, Date):
        return "t%d" % v
    if isinstance(v, int):
        return "i%d" % v
    if isinstance(v, float):
        return "r" + repr(v)
    if isinstance(v, str):
        return "s" + v.encode().hex()
    if isinstance(v, bytes):
        return "d" + v.hex()
    if isinstance(v, plistlib.UID):
        return canon({"CF$UID": v.data})
    if isinstance(v, list):
        return "[" + ",".join(canon(x) for x in v) + "]"
    if isinstance(v, dict):
        keys = sorted(v, key=lambda k: k.encode())
        return "{" + ",".join(canon(k) + ":" + canon(v[k]) for k in keys) + "}"
    raise TypeError(type(v))


def archive(*objects, archiver="NSKeyedArchiver"):
    # The objects after $null, the first of them the root; what is one python object is
    # written once, however often it is held.
    return {"$version": 100000, "$archiver": archiver, "$top": {"root": plistlib.UID(1)},
            "$objects": ["$null", *objects]}


def unarchive(d):
    # The root of a keyed archive of Foundation's plain value classes; KeyError otherwise.
    if d["$archiver"] != "NSKeyedArchiver" or d["$version"] != 100000 or d["$objects"][0] != "$null":
        raise KeyError("not an archive")
    objs = d["$objects"]

    def ref(u):
        return objs[u.data if isinstance(u, plistlib.UID) else u["CF$UID"]]

    def value(u):
        o = ref(u)
        if not isinstance(o, dict):
            return o
        c = ref(o["$class"])
        name = c["$classname"]
        assert c["$classes"][0] == name and c["$classes"][-1] == "NSObject", c
        if name in ("NSDictionary", "NSMutableDictionary"):
            return {str(value(k)): value(v) for k, v in zip(o["NS.keys"], o["NS.objects"])}
        if name in ("NSArray", "NSMutableArray"):
            return [value(v) for v in o["NS.objects"]]
        if name in FIELDS:
            return o[FIELDS[name]]
        if name == "NSDate":
            return Date(math.floor(o["NS.time"]))
        raise KeyError(name)
    return value(d["$top"]["root"])


mode, args = sys.argv[1], sys.argv[2:]
plistlib._date_from_string = xml_date
if mode in ("canon", "archive"):
    plistlib.datetime = type(sys)("datetime")
    plistlib.datetime.datetime, plistlib.datetime.timedelta = lambda *_: BinaryEpoch(), datetime.timedelta
if mode == "write":
    samples = eval(open(os.path.join(os.path.dirname(__file__), "plist_samples.txt")).read(), {"datetime": datetime})
    for i, value in enumerate(samples):
        for ext, fmt in (("xml", plistlib.FMT_XML), ("bin", plistlib.FMT_BINARY)):
            with open(os.path.join(args[0], "case-%d.%s" % (i, ext)), "wb") as f:
                f.write(plistlib.dumps(value, fmt=fmt))
for path, literal in zip(args[::2], args[1::2]) if mode == "dump" else []:
    with open(path, "wb") as f:
        f.write(plistlib.dumps(eval(literal, {"U": plistlib.UID, "A": archive}), fmt=plistlib.FMT_BINARY))
for path in args if mode in ("canon", "archive") else []:
    with open(path, "rb") as f:
        d = plistlib.load(f)
    try:
        print("%s\t%s" % (path, canon(unarchive(d) if mode == "archive" else d)))
    except KeyError:
        print("%s\t-" % path)

