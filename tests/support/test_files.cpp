// The files of the end-to-end tests: throw-away directories, whole files
// written and read, and byte-for-byte comparison that reports where two
// contents first differ.
#include <dirent.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "run_program.h"

namespace e2e {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = "/tmp/datmos-e2e-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    // Give back the write and search bits that a test took away, so that
    // everything can be removed.
    std::error_code error;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
    for (auto entry = std::filesystem::recursive_directory_iterator(path_, error);
         !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
        if (entry->is_directory(error) && !entry->is_symlink(error)) {
            std::filesystem::permissions(entry->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, error);
        }
    }
    std::filesystem::remove_all(path_, error);
}

std::vector<std::string> listDirectory(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    DIR* stream = ::opendir(directory.c_str());
    if (stream == nullptr) fail("opendir " + directory.string());
    while (const dirent* entry = ::readdir(stream)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

void writeFile(const std::filesystem::path& path, std::string_view content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

namespace {

std::string excerpt(const std::string& text, std::size_t from) {
    std::string shown;
    for (std::size_t i = from; i < text.size() && i < from + 60; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte >= 0x20 && byte < 0x7F) {
            shown += static_cast<char>(byte);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            shown += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xF];
        }
    }
    return "\"" + shown + "\"";
}

}  // namespace

testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    const auto offset = static_cast<std::size_t>(mismatch.first - actual.begin());
    const auto line = 1 + std::count(actual.begin(), mismatch.first, '\n');
    const std::size_t from = offset - std::min<std::size_t>(offset, 20);
    return testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                       << " were expected; first difference at byte " << offset << " (line " << line
                                       << "):\n  actual   from byte " << from << ": " << excerpt(actual, from)
                                       << "\n  expected from byte " << from << ": " << excerpt(expected, from);
}

}  // namespace e2e
