// Integer readings of property-list values shared by the message functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "lib/core/plobj.hpp"

namespace bwv::gmsg_detail {

// The leading decimal integer of text (white space, sign, digits), 0 without digits,
// saturated at the 64-bit limits.
int64_t leading_integer(std::string_view s);

// A number, boolean or text read as an integer; nothing for data, containers and dates.
std::optional<int64_t> int64_reading(const plobj *v);
// The same at 32 bits: text saturates, numbers keep their low 32 bits.
std::optional<int32_t> int32_reading(const plobj *v);

}  // namespace bwv::gmsg_detail
