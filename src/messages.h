// Every text that the converter shows its user: the messages of a run,
// and the words with which a read error describes a field that breaks the
// rules of the relation list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace datmos {

// The messages of a run, written to standard output without a line end.
inline constexpr std::string_view kOpened = "abriu";
inline constexpr std::string_view kOpenFailed = "Fail to open file In";
inline constexpr std::string_view kNoArgument = ": no relation list given; usage: datmos-convert RELATION_LIST";
inline constexpr std::string_view kReadFailed = "Fail to read file In: ";
inline constexpr std::string_view kWriteFailed = "Fail to write file Out: ";

// "Fail to read file In: line <line>, <where>: <what>", where says which
// field: "header", or "relation K of N".
std::string readFailed(std::uint64_t line, std::string_view where, std::string_view what);
std::string relationOf(std::int64_t relation, std::int32_t relationCount);
// "Fail to write file Out: <reason>" for a failed write(2) or close(2).
std::string writeFailed(int error);

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
