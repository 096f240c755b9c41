"""Independent reference for property lists and keyed archives: python3's plistlib.

  plist_oracle.py write DIR          writes case-N.xml and case-N.bin for every sample
  plist_oracle.py canon FILE...      prints "FILE<TAB>canonical text" per file
  plist_oracle.py archive FILE...    the same for the root of each keyed archive, decoded as
                                     Foundation would, or "-" for what it would not decode
  plist_oracle.py dump FILE LITERAL...  writes the binary plist of each python literal (U = UID)
"""
import datetime
import math
import os
import plistlib
import re
import sys

EPOCH = datetime.datetime(2001, 1, 1)


class Date(int):
    """Whole seconds since 2001: CF's distant past (year 0) has no datetime."""


def xml_date(text, *_):
    y, mo, d, h, mi, s = map(int, re.findall(r"\d+", text))
    days = datetime.date(y + 400, mo, d).toordinal() - 146097 - EPOCH.toordinal()
    return Date(days * 86400 + h * 3600 + mi * 60 + s)


def samples():
    big = {"entry-%04d" % i: ("value %d" % i if i % 3 else i * 1001) for i in range(300)}
    return [
        {}, {"a": "b"},
        {"string": "plain", "escaped": "<tag> & 'quote' \"dq\" >>", "unicode": "Mässig, Maß – 日本",
         "empty": "", "spaces": "  lead and trail  ", "newline": "line1\nline2\ttab"},
        {"zero": 0, "one": 1, "neg": -5, "negbig": -80000000000, "max32": 2147483647,
         "min32": -2147483648, "max64": 9223372036854775807, "min64": -9223372036854775808,
         "huge": 18446744073709551615, "above": 9223372036854775852},
        {"t": True, "f": False, "list": [True, False, 1, "x"]},
        {"nested": {"deeper": {"deepest": {"k": "v", "n": 3}}, "empty": {}, "emptylist": []},
         "arrays": [[1, 2, [3, [4, []]]], {"in": "array"}, {}]},
        {"Åbenraa": 1, "Zebra": 2, "apple": 3, "_under": 4, "10": 5, "9": 6, "a b": 7},
        {"reals": [0.5, 1.0, -2.25, 1e16, 1e15, 0.0001, 1e-05, 3.141592653589793, 1e300, -0.0, 123456.789]},
        {"data": b"", "data1": b"<binary gunk>", "long": bytes(range(256)) * 3,
         "nested": {"deep": [b"\x00\x01\x02" * 40]}},
        {"date": datetime.datetime(2004, 10, 26, 10, 33, 33), "old": datetime.datetime(1901, 1, 1),
         "future": datetime.datetime(2999, 12, 31, 23, 59, 59)},
        big,
    ]


def canon(v):
    """A type-tagged text of a value that the C++ side reproduces exactly."""
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
    if isinstance(v, datetime.datetime):
        return "t%d" % math.floor((v - EPOCH).total_seconds())
    if isinstance(v, plistlib.UID):
        return canon({"CF$UID": v.data})
    if isinstance(v, list):
        return "[" + ",".join(canon(x) for x in v) + "]"
    if isinstance(v, dict):
        keys = sorted(v, key=lambda k: k.encode())
        return "{" + ",".join(canon(k) + ":" + canon(v[k]) for k in keys) + "}"
    raise TypeError(type(v))


def unarchive(d):
    """The root of a keyed archive of Foundation's plain value classes; KeyError otherwise."""
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
            keys = [value(k) for k in o["NS.keys"]]
            return {str(k): value(v) for k, v in zip(keys, o["NS.objects"])}
        if name in ("NSArray", "NSMutableArray"):
            return [value(v) for v in o["NS.objects"]]
        if name in ("NSString", "NSMutableString"):
            return o["NS.string"]
        if name in ("NSData", "NSMutableData"):
            return o["NS.data"]
        if name == "NSDate":
            return Date(math.floor(o["NS.time"]))
        raise KeyError(name)
    return value(d["$top"]["root"])


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    plistlib._date_from_string = xml_date
    if mode == "write":
        for i, value in enumerate(samples()):
            for ext, fmt in (("xml", plistlib.FMT_XML), ("bin", plistlib.FMT_BINARY)):
                with open(os.path.join(args[0], "case-%d.%s" % (i, ext)), "wb") as f:
                    f.write(plistlib.dumps(value, fmt=fmt))
    for path, literal in zip(args[::2], args[1::2]) if mode == "dump" else []:
        with open(path, "wb") as f:
            f.write(plistlib.dumps(eval(literal, {"U": plistlib.UID}), fmt=plistlib.FMT_BINARY))
    for path in args if mode in ("canon", "archive") else []:
        with open(path, "rb") as f:
            d = plistlib.load(f)
        try:
            print("%s\t%s" % (path, canon(unarchive(d) if mode == "archive" else d)))
        except KeyError:
            print("%s\t-" % path)


if __name__ == "__main__":
    main()
