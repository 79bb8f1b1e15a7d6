#include "relation_chunk.h"

#include <algorithm>

#include "messages.h"
#include "number_scan.h"
#include "relation_scan.h"
#include "weight_scale.h"

namespace datmos {

ChunkReader::ChunkReader(const PaddedBytes& bytes, bool endOfInput, int readError, int firstField,
                         std::int64_t numbersLeft, const ReadRules& rules)
    : rules_(rules),
      persons_{rules.lowestPerson, rules.largestPerson},
      begin_(bytes.begin()),
      position_(bytes.begin()),
      end_(bytes.end()),
      endOfInput_(endOfInput),
      readError_(readError),
      firstField_(firstField),
      numbersLeft_(std::max<std::int64_t>(numbersLeft, 0)) {
    while (isSpace(*position_)) ++position_;
    if (numbersLeft_ == 0) readListEnd();
}

void ChunkReader::fail(const char* at, std::string what) {
    error_ = ChunkError{at, std::move(what), {}};
    stopped_ = true;
}

// After the last relation: in strict mode the rest must be whitespace.
void ChunkReader::readListEnd() {
    stopped_ = true;
    if (!rules_.strict) return;
    while (isSpace(*position_)) ++position_;
    if (position_ != end_) {
        fail(position_, expectedFound(kExpectListEnd, position_, end_));
        error_->afterList = true;
    } else if (endOfInput_ && readError_ != 0) {
        fail(position_, cannotRead(readError_));
        error_->afterList = true;
    }
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
    if (field < 2) {
        const IntegerScan scan = scanInteger(p, end_, true);
        if (cutShort(scan.outcome == Scanned::NoNumber ? p : scan.stop)) {
            fail(p, cannotRead(readError_));
            return false;
        }
        if (scan.outcome == Scanned::NoNumber) {
            fail(p, expectedFound(kExpectInteger, p, end_));
        } else if (scan.outcome == Scanned::OutOfRange || scan.value < persons_.lowest ||
                   scan.value > persons_.largest) {
            fail(p, expectedFound(rules_.expectPerson, p, end_, scan.stop));
        }
        if (error_) {
            if (field == 0 && p == weightEnd_) error_->gluedTo = gluedText(weightStart_, p);
            return false;
        }
        (field == 0 ? relation.first : relation.second) = scan.value;
        p = scan.stop;
    } else {
        const RealScan scan = scanReal(p, end_, true);
        if (cutShort(scan.outcome == Scanned::NoNumber ? p : scan.stop)) {
            fail(p, cannotRead(readError_));
            return false;
        }
        if (scan.outcome == Scanned::NoNumber) {
            fail(p, expectedFound(kExpectReal, p, end_));
            return false;
        }
        if (!weightScales(scan.value)) {
            fail(p, expectedFound(kExpectWeight, p, end_, scan.stop));
            return false;
        }
        relation.weight = scan.value;
        weightStart_ = p;
        weightEnd_ = p = scan.stop;
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
            readListEnd();
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
            const char* next = scanPlainRelation(s, persons_, relations[count]);
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
