#include "relation_chunk.h"

#include <algorithm>

#include "field_rules.h"
#include "number_scan.h"
#include "weight_scale.h"

namespace datmos {
namespace {

// The position after the whitespace that must follow a number at s, or
// nullptr where none does.
[[gnu::always_inline]] inline const char* pastSpace(const char* s) {
    if (!isSpace(*s)) return nullptr;
    do ++s;
    while (isSpace(*s));
    return s;
}

const char* scanPlainPersonOtherwise(const char* s, std::int32_t& person) {
    s = scanPlainInteger(s, person);
    return s != nullptr && person <= kLargestPerson ? pastSpace(s) : nullptr;
}

// Most person numbers have no sign: then nothing but the digits needs a
// look, eight at a time.
[[gnu::always_inline]] inline const char* scanPlainPerson(const char* s, std::int32_t& person) {
    const std::uint64_t bytes = loadEight(s);
    int count = leadingDigits(bytes);
    if (count == 0) [[unlikely]] return scanPlainPersonOtherwise(s, person);
    std::uint64_t value = digitsValue(bytes, count);
    if (count == 8) {  // up to two digits more
        const std::uint64_t more = loadEight(s + 8);
        const int extra = leadingDigits(more);
        if (extra > 2) return nullptr;
        if (extra > 0) value = value * (extra == 1 ? 10 : 100) + digitsValue(more, extra);
        if (value > static_cast<std::uint64_t>(kLargestPerson)) return nullptr;
        count += extra;
    }
    person = static_cast<std::int32_t>(value);
    return pastSpace(s + count);
}

[[gnu::always_inline]] inline const char* scanPlainWeight(const char* s, double& weight) {
    // The usual weight always scales; its scan takes one whitespace byte.
    if (const char* next = scanUsualWeight(s, weight)) [[likely]] {
        while (isSpace(*next)) ++next;
        return next;
    }
    s = scanPlainReal(s, weight);
    return s != nullptr && weightScales(weight) ? pastSpace(s) : nullptr;
}

// A relation of three plain numbers at s, each followed by whitespace;
// returns the position of what follows, or nullptr for anything else,
// which the field-by-field path reads (with the same values) or refuses.
// The chunk's zero byte stops every scan.
[[gnu::always_inline]] inline const char* scanPlainRelation(const char* s, Relation& relation) {
    s = scanPlainPerson(s, relation.first);
    if (s == nullptr) return nullptr;
    s = scanPlainPerson(s, relation.second);
    if (s == nullptr) return nullptr;
    return scanPlainWeight(s, relation.weight);
}

bool wordRunsTo(const char* p, const char* end) {
    while (p < end && !isSpace(*p)) ++p;
    return p == end;
}

}  // namespace

ChunkReader::ChunkReader(const PaddedBytes& bytes, bool endOfInput, int readError, int firstField,
                         std::int64_t numbersLeft)
    : position_(bytes.begin()),
      end_(bytes.end()),
      endOfInput_(endOfInput),
      readError_(readError),
      firstField_(firstField),
      numbersLeft_(std::max<std::int64_t>(numbersLeft, 0)) {
    while (isSpace(*position_)) ++position_;
}

void ChunkReader::fail(const char* at, std::string what) {
    error_ = ChunkError{at, std::move(what)};
    stopped_ = true;
}

bool ChunkReader::readField(int field, Relation& relation) {
    const char* p = position_;
    while (isSpace(*p)) ++p;
    position_ = p;
    if (p == end_) {
        if (!endOfInput_) {
            stopped_ = true;  // the next chunk goes on
        } else if (readError_ != 0) {
            fail(p, cannotRead(readError_));
        } else {
            fail(p, expectedFound(field < 2 ? kExpectInteger : kExpectReal, p, end_));
        }
        return false;
    }
    // A failed read may have cut the last number short.
    if (readError_ != 0 && wordRunsTo(p, end_)) {
        fail(p, cannotRead(readError_));
        return false;
    }
    if (field < 2) {
        const IntegerScan scan = scanInteger(p, end_, true);
        if (scan.outcome == Scanned::NoNumber) {
            fail(p, expectedFound(kExpectInteger, p, end_));
            return false;
        }
        if (scan.outcome == Scanned::OutOfRange || scan.value > kLargestPerson) {
            fail(p, expectedFound(kExpectPerson, p, end_, scan.stop));
            return false;
        }
        (field == 0 ? relation.first : relation.second) = scan.value;
        p = scan.stop;
    } else {
        const RealScan scan = scanReal(p, end_, true);
        if (scan.outcome == Scanned::NoNumber) {
            fail(p, expectedFound(kExpectReal, p, end_));
            return false;
        }
        if (!weightScales(scan.value)) {
            fail(p, expectedFound(kExpectWeight, p, end_, scan.stop));
            return false;
        }
        relation.weight = scan.value;
        p = scan.stop;
    }
    // Past the whitespace after the number, where the fast path expects
    // the next one.
    while (isSpace(*p)) ++p;
    position_ = p;
    --numbersLeft_;
    ++numbersRead_;
    return true;
}

int ChunkReader::readFields(int from, Relation& relation) {
    int field = from;
    while (field < kFieldsPerRelation && !stopped_) {
        if (numbersLeft_ == 0) {
            stopped_ = true;  // the list is complete
            break;
        }
        if (!readField(field, relation)) break;
        ++field;
    }
    return field - from;
}

int ChunkReader::finishRelation(Relation& relation) {
    return firstField_ == 0 ? 0 : readFields(firstField_, relation);
}

std::size_t ChunkReader::readRelations(std::span<Relation> relations) {
    std::size_t count = 0;
    while (count < relations.size() && !stopped_) {
        // Plain relations one after another, the position kept in a register.
        const auto whole = std::min<std::int64_t>(numbersLeft_ / kFieldsPerRelation,
                                                  static_cast<std::int64_t>(relations.size() - count));
        const std::size_t fastEnd = count + static_cast<std::size_t>(whole);
        const std::size_t fastStart = count;
        const char* s = position_;
        while (count < fastEnd) {
            const char* next = scanPlainRelation(s, relations[count]);
            if (next == nullptr) break;
            s = next;
            ++count;
        }
        position_ = s;
        const auto fastFields = static_cast<std::int64_t>(count - fastStart) * kFieldsPerRelation;
        numbersLeft_ -= fastFields;
        numbersRead_ += fastFields;
        if (count == relations.size()) break;

        // The next one field by field.
        Relation& relation = relations[count];
        const int fields = readFields(0, relation);
        if (fields == kFieldsPerRelation) {
            ++count;
        } else {
            unfinished_ = relation;
            unfinishedFields_ = fields;
            stopped_ = true;
        }
    }
    return count;
}

}  // namespace datmos
