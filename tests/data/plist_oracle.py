"""Independent reference for property lists: python3's plistlib.

  plist_oracle.py write DIR   writes case-N.xml and case-N.bin for every sample
  plist_oracle.py check DIR   reads every case-N.ours.xml / case-N.ours.bin and exits
                              non-zero unless each equals sample N
  plist_oracle.py canon FILE...  prints "FILE<TAB>canonical form" per file, or
                              "FILE<TAB>!error" when plistlib cannot read it
"""
import datetime
import glob
import os
import plistlib
import sys


def samples():
    big = {"entry-%04d" % i: ("value %d" % i if i % 3 else i * 1001) for i in range(300)}
    return [
        {},
        {"a": "b"},
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
        {"date": datetime.datetime(2004, 10, 26, 10, 33, 33),
         "old": datetime.datetime(1901, 1, 1, 0, 0, 0),
         "future": datetime.datetime(2999, 12, 31, 23, 59, 59)},
        big,
    ]


def canon(v):
    """A type-tagged text of a value that the C++ side can reproduce exactly."""
    if isinstance(v, bool):
        return "T" if v else "F"
    if isinstance(v, int):
        return "i%d" % v
    if isinstance(v, float):
        return "r" + repr(v)
    if isinstance(v, str):
        return "s" + v.encode("utf-8").hex()
    if isinstance(v, bytes):
        return "d" + v.hex()
    if isinstance(v, datetime.datetime):
        return "t%04d-%02d-%02dT%02d:%02d:%02dZ" % (v.year, v.month, v.day, v.hour, v.minute, v.second)
    if isinstance(v, plistlib.UID):
        return "u%d" % v.data
    if isinstance(v, list):
        return "[" + ",".join(canon(x) for x in v) + "]"
    if isinstance(v, dict):
        keys = sorted(v, key=lambda k: k.encode("utf-8"))
        return "{" + ",".join(canon(k) + ":" + canon(v[k]) for k in keys) + "}"
    raise TypeError(type(v))


def main():
    mode, folder = sys.argv[1], sys.argv[2]
    if mode == "canon":
        for path in sys.argv[2:]:
            try:
                with open(path, "rb") as f:
                    print("%s\t%s" % (path, canon(plistlib.load(f))))
            except Exception as e:  # noqa: BLE001 - reported to the caller
                print("%s\t!%s" % (path, str(e).replace("\n", " ")))
        return 0
    cases = samples()
    if mode == "write":
        for i, value in enumerate(cases):
            with open(os.path.join(folder, "case-%d.xml" % i), "wb") as f:
                f.write(plistlib.dumps(value, fmt=plistlib.FMT_XML))
            with open(os.path.join(folder, "case-%d.bin" % i), "wb") as f:
                f.write(plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
        return 0
    failures = 0
    checked = 0
    for path in sorted(glob.glob(os.path.join(folder, "case-*.ours.*"))):
        index = int(os.path.basename(path).split("-")[1].split(".")[0])
        with open(path, "rb") as f:
            try:
                got = plistlib.load(f)
            except Exception as e:  # noqa: BLE001 - any parse failure is a finding
                print("%s: plistlib cannot read it: %s" % (path, e))
                failures += 1
                continue
        checked += 1
        if got != cases[index]:
            print("%s: differs\n  got:  %r\n  want: %r" % (path, got, cases[index]))
            failures += 1
    print("checked %d files, %d failures" % (checked, failures))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
