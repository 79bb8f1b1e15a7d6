// Every text that the converter shows its user: the messages of a run,
// and the words with which a read error describes a field that breaks the
// rules of the relation list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace datmos {

// The command line: the options, recognised only as the first argument,
// and what --help shows.
inline constexpr std::string_view kProgramName = "datmos-convert";
inline constexpr std::string_view kHelpOption = "--help";
inline constexpr std::string_view kVersionOption = "--version";
inline constexpr std::string_view kStrictOption = "--strict";
inline constexpr std::string_view kHelp =
    "Usage: datmos-convert [--strict] RELATION_LIST\n"
    "       datmos-convert --help | --version\n"
    "\n"
    "Converts RELATION_LIST, a text file of a number of people, a number of\n"
    "relations and that many relations (two person numbers counted from 0 and\n"
    "a weight), into the data file RELATION_LIST.datmos beside it.\n"
    "\n"
    "Options, recognised only as the first argument:\n"
    "  --strict   also refuse a list with anything but whitespace after its\n"
    "             last relation, or with a person number outside 0 to\n"
    "             people - 1; the whole list is read\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "A relation list whose name begins with \"--\" is given as ./--name.\n"
    "\n"
    "Standard output, without a line end: exactly \"abriu\" when the data file\n"
    "was written; \"Fail to open file In\" when the list can't be opened; \"abriu\"\n"
    "and then \"Fail to open file In\", \"Fail to read file In: ...\" or \"Fail to\n"
    "write file Out: ...\" when the conversion failed: no data file is left, and\n"
    "an earlier one is kept as it was (but see datmos-convert(1) on a data file\n"
    "written in place).\n"
    "The exit status is 1 after every conversion, whatever its outcome, and 0\n"
    "after --help and --version.\n"
    "\n"
    "See datmos-convert(1).\n";

// The messages of a run, written to standard output without a line end.
inline constexpr std::string_view kOpened = "abriu";
inline constexpr std::string_view kOpenFailed = "Fail to open file In";
// Called without a relation list: --help's first line, and where to find more.
inline constexpr std::string_view kNoArgument =
    ": no relation list given; Usage: datmos-convert [--strict] RELATION_LIST (see datmos-convert --help)";
inline constexpr std::string_view kReadFailed = "Fail to read file In: ";
inline constexpr std::string_view kWriteFailed = "Fail to write file Out: ";

// "Fail to read file In: line <line>, <where>: <what>", where says which
// field: "header", or "relation K of N"; "line unknown" where the line
// could not be counted (the list could not be read again to count it).
std::string readFailed(std::optional<std::uint64_t> line, std::string_view where, std::string_view what);
// "Fail to write file Out: <reason>" for a failed write(2) or close(2).
std::string writeFailed(int error);

// " right after the weight "<weight>" of relation <relation>": what a
// refused first person number directly follows.
std::string rightAfterWeight(std::string_view weight, std::int64_t relation);
// Where a refused field lies: "relation K of N", or, for what follows the
// last relation, "after relation N of N" ("after the header" for none).
std::string relationOf(std::int64_t relation, std::int32_t relationCount);
std::string afterRelations(std::int32_t relationCount);

// What a field was expected to be.
inline constexpr std::string_view kExpectInteger = "an integer";
inline constexpr std::string_view kExpectCount = "an integer from -2147483648 to 2147483647";
inline constexpr std::string_view kExpectPerson = "a person number from -2147483648 to 2147483646";
inline constexpr std::string_view kExpectReal = "a real number";
inline constexpr std::string_view kExpectWeight = "a weight above -214748.3649 and below 214748.3648";
inline constexpr std::string_view kExpectListEnd = "the end of the list";
// In strict mode: "a person number from 0 to <people - 1>".
std::string expectPersonOf(std::int32_t people);

// At most this many bytes of an offending field are quoted.
inline constexpr std::size_t kQuotedBytes = 40;

// A text between double quotes, with double quotes, backslashes and
// non-printable bytes escaped, cut after kQuotedBytes (then "...").
std::string quoted(std::string_view text);

// "expected <expected>, found <quote>": the quote holds the bytes from
// `at` up to whitespace, `stop` or `end`, at most kQuotedBytes of them
// (then "..."), between double quotes with non-printable bytes escaped; or
// "end of file" where there is none.
std::string expectedFound(std::string_view expected, const char* at, const char* end, const char* stop = nullptr);

// "cannot read: <reason>" for a failed read(2).
std::string cannotRead(int error);

}  // namespace datmos
