// What each field of a relation list may hold, and how a field that breaks
// the rules is described: the words that every read error uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace datmos {

// A person number must leave room for its 1-based successor.
inline constexpr std::int32_t kLargestPerson = std::numeric_limits<std::int32_t>::max() - 1;

// What a field was expected to be.
inline constexpr std::string_view kExpectInteger = "an integer";
inline constexpr std::string_view kExpectCount = "an integer from -2147483648 to 2147483647";
inline constexpr std::string_view kExpectPerson = "a person number from -2147483648 to 2147483646";
inline constexpr std::string_view kExpectReal = "a real number";
inline constexpr std::string_view kExpectWeight = "a weight above -214748.3649 and below 214748.3648";

// At most this many bytes of an offending field are quoted.
inline constexpr std::size_t kQuotedBytes = 40;

// "expected <expected>, found <quote>": the quote holds the bytes from
// `at` up to whitespace, `stop` or `end`, at most kQuotedBytes of them
// (then "..."), between double quotes with non-printable bytes escaped; or
// "end of file" where there is none.
std::string expectedFound(std::string_view expected, const char* at, const char* end, const char* stop = nullptr);

// "cannot read: <reason>" for a failed read(2).
std::string cannotRead(int error);

}  // namespace datmos
