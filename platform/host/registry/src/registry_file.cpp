// The registry file: a header line, then one "[key path]" line per key followed by its
// values, one per line, in the style of a regedit export but with readable strings:
//
//   AmpfxRegistry 1
//   [\REGISTRY\MACHINE\SOFTWARE\Ampfx]
//   "EnableAmpfxEQ"=dword:00000001
//   "AmpfxEQGain"=hex:00,00,80,3f
//   "ImagePath"=expand_sz:"System32\\DRIVERS\\Ampfx.sys"
//   "LowerFilters"=multi_sz:"Ampfx","other"
//   @=sz:"default value"
//
// Data that does not have the shape its type promises (a string without its terminating
// null, a DWORD of three bytes) is written as hex(type):bytes, so every value survives a
// round trip bit for bit.
#include <stdio.h>

#include "host/text.h"
#include "registry_tree.h"

namespace host {
namespace registry_detail {
namespace {

constexpr std::string_view kHeader = "AmpfxRegistry 1";
constexpr size_t kMaxValueBytes = 16u << 20;
constexpr size_t kMaxKeyDepth = 512;

std::u16string UnitsOf(const std::vector<uint8_t>& data) {
    std::u16string units;
    units.reserve(data.size() / 2);
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return units;
}

bool IsHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

void AppendEscapedUnit(std::string& out, char16_t unit) {
    char escape[8];
    snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(unit));
    out += escape;
}

// A quoted string of UTF-16 units: backslash and quote escaped, control characters and lone
// surrogates as \uXXXX, everything else as UTF-8.
std::string Quote(std::u16string_view units) {
    std::string out = "\"";
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (unit == u'\\') {
            out += "\\\\";
        } else if (unit == u'"') {
            out += "\\\"";
        } else if (unit < 0x20 || unit == 0x7F) {
            AppendEscapedUnit(out, unit);
        } else if (IsHighSurrogate(unit) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
            out += Utf16ToUtf8(units.substr(i, 2));
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendEscapedUnit(out, unit);
        } else {
            out += Utf16ToUtf8(units.substr(i, 1));
        }
    }
    out += '"';
    return out;
}

std::string HexBytes(const std::vector<uint8_t>& data) {
    std::string out;
    out.reserve(data.size() * 3);
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

// A string value whose data is whole UTF-16 units ending in exactly one terminating null.
bool IsCanonicalString(const std::vector<uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) {
        return false;
    }
    return data[data.size() - 2] == 0 && data[data.size() - 1] == 0;
}

// Non-empty strings, each null-terminated, then one more null.
bool IsCanonicalMultiString(const std::vector<uint8_t>& data) {
    if (!IsCanonicalString(data)) {
        return false;
    }
    const std::u16string units = UnitsOf(data);
    size_t start = 0;
    while (start + 1 < units.size()) {
        const size_t end = units.find(u'\0', start);
        if (end == start) {
            return false;
        }
        start = end + 1;
    }
    return start + 1 == units.size();
}

std::string ValueData(const RegistryValue& value) {
    char number[32];
    switch (value.type) {
        case kRegSz:
        case kRegExpandSz:
            if (IsCanonicalString(value.data)) {
                std::u16string units = UnitsOf(value.data);
                units.pop_back();
                return std::string(value.type == kRegSz ? "sz:" : "expand_sz:") + Quote(units);
            }
            break;
        case kRegMultiSz:
            if (IsCanonicalMultiString(value.data)) {
                std::string out = "multi_sz:";
                const std::u16string units = UnitsOf(value.data);
                size_t start = 0;
                bool first = true;
                while (start + 1 < units.size()) {
                    const size_t end = units.find(u'\0', start);
                    if (!first) {
                        out += ',';
                    }
                    out += Quote(std::u16string_view(units).substr(start, end - start));
                    first = false;
                    start = end + 1;
                }
                return out;
            }
            break;
        case kRegDword:
            if (value.data.size() == 4) {
                const uint32_t v = static_cast<uint32_t>(value.data[0]) |
                                   (static_cast<uint32_t>(value.data[1]) << 8) |
                                   (static_cast<uint32_t>(value.data[2]) << 16) |
                                   (static_cast<uint32_t>(value.data[3]) << 24);
                snprintf(number, sizeof(number), "dword:%08x", v);
                return number;
            }
            break;
        case kRegQword:
            if (value.data.size() == 8) {
                uint64_t v = 0;
                for (int i = 0; i < 8; ++i) {
                    v |= static_cast<uint64_t>(value.data[i]) << (8 * i);
                }
                snprintf(number, sizeof(number), "qword:%016llx",
                         static_cast<unsigned long long>(v));
                return number;
            }
            break;
        case kRegBinary:
            return "hex:" + HexBytes(value.data);
        default:
            break;
    }
    snprintf(number, sizeof(number), "hex(%x):", value.type);
    return number + HexBytes(value.data);
}

void WriteKey(const Registry::Key& key, const std::string& path, std::string& out) {
    out += '[';
    out += path;
    out += "]\n";
    for (const RegistryValue& value : key.values) {
        out += value.name.empty() ? "@" : Quote(Utf8ToUtf16(value.name));
        out += '=';
        out += ValueData(value);
        out += '\n';
    }
    out += '\n';
    for (const auto& entry : key.subkeys) {
        WriteKey(*entry.second, path + "\\" + entry.second->name, out);
    }
}

// A reader over one line of text.
class LineReader {
  public:
    explicit LineReader(std::string_view line) : line_(line) {}

    bool AtEnd() const { return pos_ >= line_.size(); }
    char Peek() const { return AtEnd() ? '\0' : line_[pos_]; }
    bool Consume(char c) {
        if (Peek() == c && !AtEnd()) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool ConsumeWord(std::string_view word) {
        if (line_.substr(pos_, word.size()) == word) {
            pos_ += word.size();
            return true;
        }
        return false;
    }

    // A quoted string, decoded to UTF-16 units.
    bool ReadQuoted(std::u16string* units, std::string* error) {
        if (!Consume('"')) {
            *error = "expected '\"'";
            return false;
        }
        std::string literal;
        units->clear();
        while (true) {
            if (AtEnd()) {
                *error = "unterminated string";
                return false;
            }
            const char c = line_[pos_++];
            if (c == '"') {
                break;
            }
            if (c != '\\') {
                literal += c;
                continue;
            }
            *units += Utf8ToUtf16(literal);
            literal.clear();
            if (AtEnd()) {
                *error = "unterminated escape";
                return false;
            }
            const char e = line_[pos_++];
            if (e == '\\' || e == '"') {
                units->push_back(static_cast<char16_t>(e));
            } else if (e == 'u') {
                unsigned value = 0;
                for (int i = 0; i < 4; ++i) {
                    const int digit = AtEnd() ? -1 : HexDigit(line_[pos_]);
                    if (digit < 0) {
                        *error = "bad \\u escape";
                        return false;
                    }
                    value = value * 16 + static_cast<unsigned>(digit);
                    ++pos_;
                }
                units->push_back(static_cast<char16_t>(value));
            } else {
                *error = std::string("unknown escape \\") + e;
                return false;
            }
        }
        *units += Utf8ToUtf16(literal);
        return true;
    }

    bool ReadHexBytes(std::vector<uint8_t>* bytes, std::string* error) {
        bytes->clear();
        if (AtEnd()) {
            return true;
        }
        while (true) {
            const int high = AtEnd() ? -1 : HexDigit(line_[pos_]);
            const int low = pos_ + 1 >= line_.size() ? -1 : HexDigit(line_[pos_ + 1]);
            if (high < 0 || low < 0) {
                *error = "expected two hex digits";
                return false;
            }
            if (bytes->size() >= kMaxValueBytes) {
                *error = "value data too large";
                return false;
            }
            bytes->push_back(static_cast<uint8_t>(high * 16 + low));
            pos_ += 2;
            if (AtEnd()) {
                return true;
            }
            if (!Consume(',')) {
                *error = "expected ',' between bytes";
                return false;
            }
        }
    }

    bool ReadHexNumber(size_t maxDigits, uint64_t* value, std::string* error) {
        *value = 0;
        size_t digits = 0;
        while (!AtEnd() && HexDigit(line_[pos_]) >= 0) {
            if (++digits > maxDigits) {
                *error = "number too long";
                return false;
            }
            *value = *value * 16 + static_cast<uint64_t>(HexDigit(line_[pos_]));
            ++pos_;
        }
        if (digits == 0) {
            *error = "expected a hex number";
            return false;
        }
        return true;
    }

  private:
    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    std::string_view line_;
    size_t pos_ = 0;
};

std::vector<uint8_t> BytesOf(const std::u16string& units, bool terminate) {
    std::vector<uint8_t> data;
    data.reserve(units.size() * 2 + 2);
    for (char16_t unit : units) {
        data.push_back(static_cast<uint8_t>(unit & 0xFF));
        data.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminate) {
        data.push_back(0);
        data.push_back(0);
    }
    return data;
}

bool ParseValue(std::string_view line, RegistryValue* value, std::string* error) {
    LineReader reader(line);
    if (reader.Consume('@')) {
        value->name.clear();
    } else {
        std::u16string name;
        if (!reader.ReadQuoted(&name, error)) {
            return false;
        }
        value->name = Utf16ToUtf8(name);
        if (value->name.empty()) {
            *error = "an empty value name is written as @";
            return false;
        }
        if (!IsValidValueName(value->name)) {
            *error = "invalid value name";
            return false;
        }
    }
    if (!reader.Consume('=')) {
        *error = "expected '=' after the value name";
        return false;
    }
    std::u16string units;
    uint64_t number = 0;
    const bool plainString = reader.ConsumeWord("sz:");
    const bool expandString = !plainString && reader.ConsumeWord("expand_sz:");
    if (plainString || expandString) {
        value->type = plainString ? kRegSz : kRegExpandSz;
        if (!reader.ReadQuoted(&units, error)) {
            return false;
        }
        value->data = BytesOf(units, true);
    } else if (reader.ConsumeWord("multi_sz:")) {
        value->type = kRegMultiSz;
        value->data.clear();
        while (!reader.AtEnd()) {
            if (!reader.ReadQuoted(&units, error)) {
                return false;
            }
            if (units.empty() || units.find(u'\0') != std::u16string::npos) {
                *error = "multi_sz strings must be non-empty and contain no null";
                return false;
            }
            const std::vector<uint8_t> one = BytesOf(units, true);
            value->data.insert(value->data.end(), one.begin(), one.end());
            if (!reader.AtEnd() && !reader.Consume(',')) {
                *error = "expected ',' between strings";
                return false;
            }
        }
        value->data.push_back(0);
        value->data.push_back(0);
    } else if (reader.ConsumeWord("dword:")) {
        value->type = kRegDword;
        if (!reader.ReadHexNumber(8, &number, error)) {
            return false;
        }
        value->data.clear();
        for (int i = 0; i < 4; ++i) {
            value->data.push_back(static_cast<uint8_t>(number >> (8 * i)));
        }
    } else if (reader.ConsumeWord("qword:")) {
        value->type = kRegQword;
        if (!reader.ReadHexNumber(16, &number, error)) {
            return false;
        }
        value->data.clear();
        for (int i = 0; i < 8; ++i) {
            value->data.push_back(static_cast<uint8_t>(number >> (8 * i)));
        }
    } else if (reader.ConsumeWord("hex:")) {
        value->type = kRegBinary;
        if (!reader.ReadHexBytes(&value->data, error)) {
            return false;
        }
    } else if (reader.ConsumeWord("hex(")) {
        if (!reader.ReadHexNumber(8, &number, error)) {
            return false;
        }
        if (!reader.Consume(')') || !reader.Consume(':')) {
            *error = "expected '):' after the type";
            return false;
        }
        value->type = static_cast<uint32_t>(number);
        if (!reader.ReadHexBytes(&value->data, error)) {
            return false;
        }
    } else {
        *error = "unknown value type";
        return false;
    }
    if (!reader.AtEnd()) {
        *error = "unexpected text after the value";
        return false;
    }
    return true;
}

}  // namespace

std::string WriteTree(const Registry::Key& key, const std::string& path) {
    std::string out(kHeader);
    out += "\n\n";
    WriteKey(key, path, out);
    return out;
}

RegistryLoadResult ReadInto(Registry::Key* root, std::string_view text) {
    RegistryLoadResult result;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    if (text.size() > kMaxFileBytes) {
        return RegistryLoadResult{
            false, 0,
            "larger than a registry file may be (" + std::to_string(kMaxFileBytes >> 20) + " MiB)"};
    }
    bool headerSeen = false;
    Registry::Key* current = nullptr;
    size_t keys = 0;
    size_t values = 0;
    size_t lineNumber = 0;
    size_t start = 0;
    auto fail = [&](const std::string& why) {
        result.ok = false;
        result.line = lineNumber;
        result.error = "line " + std::to_string(lineNumber) + ": " + why;
        return result;
    };
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (!headerSeen) {
            if (line != kHeader) {
                return fail("not a registry file (expected \"AmpfxRegistry 1\")");
            }
            headerSeen = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.size() < 2 || line.back() != ']') {
                return fail("a key line ends with ']'");
            }
            std::vector<std::string> components;
            if (SplitPath(line.substr(1, line.size() - 2), &components) != kErrorSuccess) {
                return fail("invalid key path");
            }
            if (components.size() > kMaxKeyDepth) {
                return fail("key nested too deeply");
            }
            current = components.empty() ? root : WalkCreate(root, components, nullptr, &keys);
            if (current == nullptr) {
                return fail("keys are created only inside MACHINE and USER");
            }
            if (keys > kMaxKeys) {
                return fail("more than " + std::to_string(kMaxKeys) + " keys in the file");
            }
            continue;
        }
        if (line[0] != '@' && line[0] != '"') {
            return fail("expected a [key] or a value line");
        }
        if (current == nullptr) {
            return fail("a value before the first key");
        }
        RegistryValue value;
        std::string error;
        if (!ParseValue(line, &value, &error)) {
            return fail(error);
        }
        if (current->FindValue(value.name) == nullptr) {
            if (current->values.size() >= kMaxValuesPerKey) {
                return fail("more than " + std::to_string(kMaxValuesPerKey) + " values in one key");
            }
            if (++values > kMaxValues) {
                return fail("more than " + std::to_string(kMaxValues) + " values in the file");
            }
        }
        SetValueIn(current, value.name, value.type, value.data.data(), value.data.size());
    }
    if (!headerSeen) {
        lineNumber = 0;
        return fail("empty file");
    }
    return result;
}

}  // namespace registry_detail
}  // namespace host
