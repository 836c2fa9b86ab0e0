// The package reader's exchange: requests as arguments, answers as tagged, length-prefixed bytes, checked whole.
#include "ReaderProtocol.h"

#include "PackError.h"
#include "text/Text.h"

#include <cstdlib>

namespace pack::reader {

const char kOption[] = "--internal-package-reader";
const char kFaultVariable[] = "KESTREL_TEST_READER_FAULT";

namespace {

const char kPropertiesVerb[] = "properties";
const char kIconRowVerb[] = "icon";

// An answer: kMagic, one tag, then the tag's fields; a number is 4 bytes, least significant first, and a text its
// length and its bytes.
const std::string kMagic = "KRPR1";
constexpr char kPropertiesTag = 'P'; // a number of pairs, then each name and value
constexpr char kIconRowTag = 'I';    // the row's bytes as one text
constexpr char kNoIconRowTag = 'N';  // nothing
constexpr char kRefusalTag = 'R';    // the message as one text
constexpr char kDamageTag = 'D';     // nothing
// Longer than any message the layers write, paths included.
constexpr size_t kMaxMessageSize = 64 * 1024;

void putNumber(std::string& answer, uint32_t number) {
    for (int shift = 0; shift < 32; shift += 8) {
        answer += static_cast<char>((number >> shift) & 0xFF);
    }
}

void putText(std::string& answer, const std::string& text) {
    putNumber(answer, static_cast<uint32_t>(text.size()));
    answer += text;
}

std::string tagged(char tag) { return kMagic + tag; }

std::string refusalAnswer(const std::string& message) {
    std::string answer = tagged(kRefusalTag);
    putText(answer, message.substr(0, kMaxMessageSize));
    return answer;
}

std::string encodeProperties(const std::map<std::string, std::string>& properties) {
    size_t size = kMagic.size() + 5;
    for (const auto& [name, value] : properties) {
        size += 8 + name.size() + value.size();
    }
    // The packer would stop reading and call the package damaged; the child says so at once.
    if (size > kMaxAnswerSize) {
        return damageAnswer();
    }
    std::string answer = tagged(kPropertiesTag);
    answer.reserve(size);
    putNumber(answer, static_cast<uint32_t>(properties.size()));
    for (const auto& [name, value] : properties) {
        putText(answer, name);
        putText(answer, value);
    }
    return answer;
}

std::string encodeIconRow(const std::optional<std::vector<uint8_t>>& row, const std::string& packagePath,
                          const std::string& rowName) {
    if (!row) {
        return tagged(kNoIconRowTag);
    }
    if (row->size() > kMaxIconRowSize) {
        return refusalAnswer(oversizedIconRowMessage(packagePath, rowName));
    }
    std::string answer = tagged(kIconRowTag);
    putText(answer, std::string(row->begin(), row->end()));
    return answer;
}

// Reads an answer front to back; anything out of place raises Error with the damaged-package message.
class AnswerReader {
public:
    AnswerReader(const std::string& answer, const std::string& packagePath)
        : answer_(answer), packagePath_(packagePath) {
        if (take(kMagic.size()) != kMagic) {
            garbled();
        }
    }

    // The tag of an answer the packer asked for; a refusal or a damage answer raises Error here.
    char tag() {
        const char tag = take(1)[0];
        if (tag == kRefusalTag) {
            const std::string message = text(kMaxMessageSize);
            end();
            if (message.empty()) {
                garbled();
            }
            throw Error(message);
        }
        if (tag == kDamageTag) {
            end();
            garbled();
        }
        return tag;
    }

    uint32_t number() {
        const std::string bytes = take(4);
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) {
            number = (number << 8) | static_cast<uint8_t>(bytes[i]);
        }
        return number;
    }

    std::string text(size_t maxSize) {
        const uint32_t size = number();
        if (size > maxSize) {
            garbled();
        }
        return take(size);
    }

    void end() const {
        if (position_ != answer_.size()) {
            garbled();
        }
    }

    [[noreturn]] void garbled() const { throw Error(damagedMessage(packagePath_)); }

private:
    std::string take(size_t count) {
        if (count > answer_.size() - position_) {
            garbled();
        }
        const size_t start = position_;
        position_ += count;
        return answer_.substr(start, count);
    }

    const std::string& answer_;
    const std::string& packagePath_;
    size_t position_ = 0;
};

} // namespace

std::string requestedFault() {
    const char* const fault = std::getenv(kFaultVariable);
    return fault ? fault : "";
}

std::vector<std::string> propertiesRequest(const std::string& packagePath) {
    return {kOption, kPropertiesVerb, packagePath};
}

std::vector<std::string> iconRowRequest(const std::string& packagePath, const std::string& rowName) {
    return {kOption, kIconRowVerb, packagePath, rowName};
}

std::string answerRequest(const std::vector<std::string>& arguments, const Library& library) {
    const bool properties = arguments.size() == 2 && arguments[0] == kPropertiesVerb;
    const bool iconRow = arguments.size() == 3 && arguments[0] == kIconRowVerb;
    if (!properties && !iconRow) {
        return std::string();
    }
    try {
        return properties ? encodeProperties(library.properties(arguments[1]))
                          : encodeIconRow(library.iconRow(arguments[1], arguments[2]), arguments[1], arguments[2]);
    } catch (const Error& error) {
        return refusalAnswer(error.what());
    }
}

std::string damageAnswer() { return tagged(kDamageTag); }

std::string garbledAnswer() {
    std::string answer = tagged(kPropertiesTag);
    putNumber(answer, 1);
    putNumber(answer, 0xFFFFFFFF);
    return answer;
}

std::map<std::string, std::string> propertiesFromAnswer(const std::string& answer, const std::string& packagePath) {
    AnswerReader in(answer, packagePath);
    if (in.tag() != kPropertiesTag) {
        in.garbled();
    }
    std::map<std::string, std::string> properties;
    for (uint32_t count = in.number(); count > 0; --count) {
        std::string name = in.text(kMaxAnswerSize);
        std::string value = in.text(kMaxAnswerSize);
        if (!properties.emplace(std::move(name), std::move(value)).second) {
            in.garbled();
        }
    }
    in.end();
    return properties;
}

std::optional<std::vector<uint8_t>> iconRowFromAnswer(const std::string& answer, const std::string& packagePath) {
    AnswerReader in(answer, packagePath);
    const char tag = in.tag();
    if (tag == kNoIconRowTag) {
        in.end();
        return std::nullopt;
    }
    if (tag != kIconRowTag) {
        in.garbled();
    }
    const std::string row = in.text(kMaxIconRowSize);
    in.end();
    return std::vector<uint8_t>(row.begin(), row.end());
}

std::string damagedMessage(const std::string& packagePath) {
    return "Cannot read the package " + quoted(packagePath) +
           ": it is damaged (the installer library failed while reading it)";
}

std::string oversizedIconRowMessage(const std::string& packagePath, const std::string& rowName) {
    return "The icon " + quoted(printable(rowName)) + " in the package " + quoted(packagePath) +
           " cannot be used: its row in the Icon table holds more than " + std::to_string(kMaxIconRowSize >> 20) + " MiB";
}

} // namespace pack::reader
