#include "tool_text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

bool ParseUnsignedText(const std::string& text, uint64_t max, uint64_t* value) {
    // strtoull would take a sign (and wrap a negative number round) or leading blanks.
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > max)
        return false;
    *value = parsed;
    return true;
}

bool ParseFiniteText(const std::string& text, double* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(parsed))
        return false;
    *value = parsed;
    return true;
}

std::vector<std::string> SplitCommaList(const std::string& text) {
    std::vector<std::string> items;
    if (text.empty())
        return items;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

bool ParseHexBytesText(const std::string& text, std::vector<uint8_t>* bytes, std::string* reason) {
    std::string digits;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == ',')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            *reason = "bad hex bytes '" + text + "'";
            return false;
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        *reason = "bad hex bytes '" + text + "' (odd number of digits)";
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string QuoteWord(const std::string& word) {
    // The empty word too: unquoted it would vanish from the line.
    if (!word.empty() && word.find_first_of(" \t#") == std::string::npos)
        return word;
    return "\"" + word + "\"";
}

bool SplitQuotedWords(std::string_view line, std::vector<std::string>* words, std::string* reason) {
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '#')
            break;
        std::string word;
        bool quoted = false;
        while (i < line.size()) {
            const char d = line[i];
            if (static_cast<unsigned char>(d) < 0x20 && d != '\t') {
                *reason = "control character in the line";
                return false;
            }
            if (d == '"') {
                quoted = !quoted;
                ++i;
                continue;
            }
            if (!quoted && (d == ' ' || d == '\t' || d == '#'))
                break;
            word += d;
            ++i;
        }
        if (quoted) {
            *reason = "unterminated quote";
            return false;
        }
        words->push_back(std::move(word));
    }
    return true;
}
