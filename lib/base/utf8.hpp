// The one check of UTF-8 text, shared by the property-list objects (every key and string
// they take), the installed client's version file and whatever else must refuse bytes
// that are not text.
#pragma once

#include <string_view>

namespace bwv::text {

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing past U+10FFFF, no
// sequence cut short.
bool valid_utf8(std::string_view s);

}  // namespace bwv::text
