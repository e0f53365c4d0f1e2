#include <cstdio>
#include <limits>

#include "image/image.h"

namespace {

bool IsWhitespace(int character) {
    return character == ' ' || (character >= '\t' && character <= '\r');
}

int DigitValue(int character) {
    if (character >= '0' && character <= '9')
        return character - '0';
    if (character >= 'a' && character <= 'f')
        return character - 'a' + 10;
    if (character >= 'A' && character <= 'F')
        return character - 'A' + 10;
    return -1;
}

// One character of look-ahead over the file, so that the character that ends a field stays
// in place for the next one.
class CharacterReader {
public:
    explicit CharacterReader(std::FILE* file) : file_(file), next_(std::fgetc(file)) {}
    int Peek() const { return next_; }
    void Advance() { next_ = std::fgetc(file_); }

private:
    std::FILE* file_;
    int next_;
};

// Reads one field: whitespace, an optional sign (taking one of the two digit places), an
// optional "0x" prefix (taking none), then as many digits as places remain.
std::optional<std::uint8_t> ReadField(CharacterReader& reader) {
    while (IsWhitespace(reader.Peek()))
        reader.Advance();

    int places = 2;
    bool negative = false;
    if (reader.Peek() == '+' || reader.Peek() == '-') {
        negative = reader.Peek() == '-';
        reader.Advance();
        --places;
    }

    unsigned value = 0;
    int digits = 0;
    if (reader.Peek() == '0') {
        reader.Advance();
        if (reader.Peek() == 'x' || reader.Peek() == 'X') {
            reader.Advance();
        } else {
            digits = 1;
        }
    }
    while (digits < places && DigitValue(reader.Peek()) >= 0) {
        value = value * 16 + static_cast<unsigned>(DigitValue(reader.Peek()));
        reader.Advance();
        ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(negative ? 0u - value : value);
}

}  // namespace

void ReadImageFields(std::FILE* file, ImageBuffer& image) {
    CharacterReader reader(file);
    image.loadedCount = 0;
    while (std::optional<std::uint8_t> field = ReadField(reader)) {
        if (image.loadedCount == std::numeric_limits<std::uint16_t>::max()) {
            image.incomplete = true;
            return;
        }
        image.imageBytes[image.loadedCount] = *field;
        ++image.loadedCount;
    }
    // fgetc() answers a read error as it answers the end of the file. The reader looks one
    // character ahead only, so an error flagged now came before the character that ended
    // the fields, or in its place.
    image.incomplete = std::ferror(file) != 0;
}
