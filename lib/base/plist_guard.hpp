// Checks run on outside bytes before libplist parses them. libplist recurses once per
// nesting level and, in a binary list, builds a fresh copy of an object (strings and data
// included) every time it is referred to, so a few hundred hostile bytes could otherwise
// exhaust the stack or ask it for gigabytes. Shared by every reader of property lists,
// the update library's feed included, so it depends on nothing but the standard library.
#pragma once

#include <cstddef>

namespace bwv::pl {

// Deepest nesting of arrays and dictionaries a reader accepts.
inline constexpr int kMaxPlistDepth = 512;

// True when libplist may be given these bytes: a binary list ("bplist00") whose object
// graph is well formed, without cycles or dictionary keys holding a zero character, and
// whose expanded tree stays within a few times its own size, checked in time linear in
// its size; anything else, XML that xml_depth_within allows at kMaxPlistDepth. A true
// answer says nothing about whether the bytes then parse.
bool safe_for_libplist(const void *bytes, size_t len);

// True when libplist's XML reader, given these bytes, would open no more than max_depth
// arrays and dictionaries inside one another. Counted over the reader's own tokens, so
// comments, CDATA, processing instructions, a DOCTYPE and attributes cannot hide a
// closing tag; bytes the reader would refuse, or read differently between its releases,
// give false.
bool xml_depth_within(const void *bytes, size_t len, int max_depth);

}  // namespace bwv::pl
