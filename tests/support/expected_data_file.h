// The data files that the tests expect, written out plainly: the head
// with its names line, the relation lines given, the closing line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace datmos::test {

// Lines 1 to 5 of the data file for `people` people: the names line
// counts from 1 to people (none for fewer than one).
inline std::string dataFileHead(std::int32_t people) {
    std::string head = "people: " + std::to_string(people) + "\nVarErr: 0.5\nNames: [\n";
    for (std::int64_t name = 1; name <= people; ++name) head += std::to_string(name) + " ";
    return head + "]\nMrel: [\n";
}

inline std::string dataFileWith(std::int32_t people, std::string_view relationLines) {
    return dataFileHead(people) + std::string(relationLines) + "]\n";
}

inline std::string threePeopleWith(std::string_view relationLines) { return dataFileWith(3, relationLines); }

inline std::string repeated(std::size_t count, std::string_view text) {
    std::string result;
    result.reserve(count * text.size());
    for (std::size_t i = 0; i < count; ++i) result += text;
    return result;
}

// A small list and its data file, written out in full.
inline constexpr char kWorkedList[] = "3 2\n0 1 0.5\n1 2 0.3\n";
inline constexpr char kWorkedDataFile[] =
    "people: 3\n"
    "VarErr: 0.5\n"
    "Names: [\n"
    "1 2 3 ]\n"
    "Mrel: [\n"
    "( 1 , 2 ) 5000\n"
    "( 2 , 3 ) 2999\n"
    "]\n";

// The data file of an earlier run, which a failed run must leave as it is.
inline constexpr char kEarlierDataFile[] = "people: 1\nVarErr: 0.5\nNames: [\n1 ]\nMrel: [\n]\n";

}  // namespace datmos::test
