#include "text.h"

namespace dovrel {

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

bool StartsWithIgnoreCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (LowerAscii(*text) != LowerAscii(*prefix))
            return false;
    }
    return true;
}

std::vector<std::string> SplitMultiString(const uint8_t* data, size_t size) {
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < size && data[start] != 0) {
        size_t end = start;
        while (end < size && data[end] != 0)
            ++end;
        strings.emplace_back(reinterpret_cast<const char*>(data + start), end - start);
        start = end + 1;
    }
    return strings;
}

std::vector<uint8_t> JoinMultiString(const std::vector<std::string>& strings) {
    std::vector<uint8_t> data;
    for (const std::string& s : strings) {
        data.insert(data.end(), s.begin(), s.end());
        data.push_back(0);
    }
    data.push_back(0);
    return data;
}

}  // namespace dovrel
