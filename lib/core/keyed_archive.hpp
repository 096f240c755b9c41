// Keyed archives as Foundation's keyed archiver writes them, so that archived objects
// cross between our processes and a macOS peer: a binary property list with "$archiver",
// "$version", "$top" {root: UID} and a flat "$objects" table whose containers refer to
// each other by UID and name their class through a class record.
#pragma once

#include <cstddef>
#include <string>

#include "lib/core/plobj.hpp"

namespace bwv::archive {

// Containers nested deeper than this are refused by both directions: a peer's archive
// must not be able to exhaust the stack, and nothing we send nests this far.
inline constexpr int kMaxDepth = 128;

// Archives root (any property-list object; dictionaries become NSMutableDictionary
// objects, strings, numbers and data are stored inline). False, with out untouched, when
// the graph has a cycle, nests deeper than kMaxDepth, or holds an integer above INT64_MAX.
bool archive_root(const plobj *root, std::string &out);

// Decodes a keyed archive in binary or XML property-list form. Accepted classes are the
// Foundation dictionary, array, string, data and date classes (mutable or not); numbers
// and booleans come inline. Null for anything else: a foreign class, a $top without
// "root", a UID out of range, a reference cycle, nesting deeper than kMaxDepth, or bytes
// that are not a property list. +1 on success. Throws std::bad_alloc when memory runs out.
plobj *unarchive_root(const void *bytes, size_t len);

}  // namespace bwv::archive
