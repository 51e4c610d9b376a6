#include "control_request_text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "ampfx_ioctl.h"

namespace {

enum class BlockKind { Band, Value, Speaker51, Virtual71, Raw };

struct RequestName {
    const char* name;
    uint32_t code;
    BlockKind kind;
};

const RequestName kRequests[] = {
    {"eq-band", IOCTL_AMPFX_EQ_BAND, BlockKind::Band},
    {"eq-band-raw", IOCTL_AMPFX_EQ_BAND_RAW, BlockKind::Band},
    {"eq-enable", IOCTL_AMPFX_EQ_ENABLE, BlockKind::Value},
    {"drc", IOCTL_AMPFX_DRC_ENABLE, BlockKind::Value},
    {"noise-clean", IOCTL_AMPFX_NOISE_CLEAN, BlockKind::Value},
    {"sound-field", IOCTL_AMPFX_SOUND_FIELD, BlockKind::Value},
    {"speaker51", IOCTL_AMPFX_SPEAKER_51, BlockKind::Speaker51},
    {"virtual71", IOCTL_AMPFX_VIRTUAL_71, BlockKind::Virtual71},
    {"convert", IOCTL_AMPFX_CONVERT, BlockKind::Value},
};

const RequestName* FindByName(const std::string& name) {
    for (const RequestName& request : kRequests)
        if (name == request.name)
            return &request;
    return nullptr;
}

const RequestName* FindByCode(uint32_t code) {
    for (const RequestName& request : kRequests)
        if (code == request.code)
            return &request;
    return nullptr;
}

bool ParseU32(const std::string& text, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

// Any float a client might send, including inf and nan: the driver must cope with them.
bool ParseF32(const std::string& text, float* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const float parsed = std::strtof(text.c_str(), &end);
    if (*end != '\0' || (errno == ERANGE && std::isfinite(parsed) && parsed != 0))
        return false;
    *value = parsed;
    return true;
}

bool ParseFloats(const std::string& text, float* values, size_t count) {
    std::stringstream stream(text);
    std::string item;
    size_t index = 0;
    while (std::getline(stream, item, ',')) {
        if (index == count || !ParseF32(item, &values[index]))
            return false;
        ++index;
    }
    return index == count && !text.empty() && text.back() != ',';
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string digits;
    for (char c : text)
        if (c != ':' && c != ' ')
            digits += c;
    if (digits == "-")
        digits.clear();  // "-" stands for no input at all
    if (digits.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = digits.substr(i, 2);
        const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0' || pair.find_first_of("+-xX ") != std::string::npos)
            return false;
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

template <typename Block>
void Store(const Block& block, ControlRequestText* request) {
    request->input.resize(sizeof block);
    std::memcpy(request->input.data(), &block, sizeof block);
    request->outputLength = sizeof block;
}

std::string Join(const float* values, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += (i ? "," : "") + FormatFloat(values[i]);
    return text;
}

}  // namespace

std::string FormatFloat(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

const char* ControlRequestUsage() {
    return "  eq-band get BAND | eq-band set BAND GAIN\n"
           "  eq-band-raw get BAND | eq-band-raw set BAND GAIN\n"
           "  eq-enable|drc|noise-clean|sound-field|convert get | ... set VALUE\n"
           "  speaker51 get | speaker51 set HRTF LEFT RIGHT P0,P1,P2,P3,P4,P5\n"
           "  virtual71 get | virtual71 set ENABLE D0,...,D7 A0,...,A7\n"
           "  raw CODE IN-HEX OUT-LENGTH   (IN-HEX may be - for no input)\n";
}

bool ParseControlRequest(const std::vector<std::string>& words, ControlRequestText* request,
                         std::string* error) {
    if (words.empty()) {
        *error = "missing request name";
        return false;
    }
    if (words[0] == "raw") {
        uint32_t outputLength = 0;
        if (words.size() != 4 || !ParseU32(words[1], &request->code) ||
            !ParseHex(words[2], &request->input) || !ParseU32(words[3], &outputLength) ||
            outputLength > 65536) {
            *error = "usage: raw CODE IN-HEX OUT-LENGTH (OUT-LENGTH at most 65536)";
            return false;
        }
        request->outputLength = outputLength;
        return true;
    }
    const RequestName* name = FindByName(words[0]);
    if (name == nullptr) {
        *error = "unknown request '" + words[0] + "'";
        return false;
    }
    request->code = name->code;
    const bool get = words.size() >= 2 && words[1] == "get";
    const bool set = words.size() >= 2 && words[1] == "set";
    if (!get && !set) {
        *error = "'" + words[0] + "' needs get or set";
        return false;
    }
    const uint32_t selector = get ? kAmpfxSelectorGet : 0;
    bool ok = false;
    switch (name->kind) {
        case BlockKind::Band: {
            AmpfxBandRequest block{static_cast<uint16_t>(selector), 0, 0.0f};
            uint32_t band = 0;
            ok = ParseU32(words.size() > 2 ? words[2] : "", &band) && band <= 0xFFFF &&
                 (get ? words.size() == 3 : words.size() == 4 && ParseF32(words[3], &block.Gain));
            block.Band = static_cast<uint16_t>(band);
            Store(block, request);
            break;
        }
        case BlockKind::Value: {
            AmpfxValueRequest block{selector, 0};
            ok = get ? words.size() == 2 : words.size() == 3 && ParseU32(words[2], &block.Value);
            Store(block, request);
            break;
        }
        case BlockKind::Speaker51: {
            AmpfxSpeaker51Request block{};
            block.Selector = selector;
            ok = get ? words.size() == 2
                     : words.size() == 6 && ParseU32(words[2], &block.EnableHRTF) &&
                           ParseU32(words[3], &block.LeftChOffset) &&
                           ParseU32(words[4], &block.RightChOffset) &&
                           ParseFloats(words[5], block.Ampfx5Ch1Power, 6);
            Store(block, request);
            break;
        }
        case BlockKind::Virtual71: {
            AmpfxVirtual71Request block{};
            block.Selector = selector;
            ok = get ? words.size() == 2
                     : words.size() == 5 && ParseU32(words[2], &block.EnableVirtual7ch1) &&
                           ParseFloats(words[3], block.Virtual7ch1Distance, 8) &&
                           ParseFloats(words[4], block.Virtual7ch1Radian, 8);
            Store(block, request);
            break;
        }
        case BlockKind::Raw:
            break;
    }
    if (!ok)
        *error = "bad arguments for '" + words[0] + "'";
    return ok;
}

std::string FormatControlAnswer(const ControlRequestText& request, uint32_t status,
                                const std::vector<uint8_t>& output, uint32_t bytesReturned) {
    char head[64];
    std::snprintf(head, sizeof head, "status=0x%08X bytes=%u\n", status, bytesReturned);
    std::string text = head;
    const RequestName* name = FindByCode(request.code);
    const size_t available = std::min<size_t>(bytesReturned, output.size());

    auto complete = [&](size_t size) { return name != nullptr && available >= size; };
    if (name == nullptr || name->kind == BlockKind::Raw) {
        if (available == 0)
            return text;
        text += "data=";
        char byte[4];
        for (size_t i = 0; i < available; ++i) {
            std::snprintf(byte, sizeof byte, "%02x", output[i]);
            text += byte;
        }
        return text + "\n";
    }
    std::ostringstream fields;
    switch (name->kind) {
        case BlockKind::Band:
            if (complete(sizeof(AmpfxBandRequest))) {
                AmpfxBandRequest block;
                std::memcpy(&block, output.data(), sizeof block);
                fields << "selector=" << block.Selector << "\nband=" << block.Band
                       << "\ngain=" << FormatFloat(block.Gain) << "\n";
            }
            break;
        case BlockKind::Value:
            if (complete(sizeof(AmpfxValueRequest))) {
                AmpfxValueRequest block;
                std::memcpy(&block, output.data(), sizeof block);
                fields << "selector=" << block.Selector << "\nvalue=" << block.Value << "\n";
            }
            break;
        case BlockKind::Speaker51:
            if (complete(sizeof(AmpfxSpeaker51Request))) {
                AmpfxSpeaker51Request block;
                std::memcpy(&block, output.data(), sizeof block);
                fields << "selector=" << block.Selector << "\nEnableHRTF=" << block.EnableHRTF
                       << "\nLeftChOffset=" << block.LeftChOffset
                       << "\nRightChOffset=" << block.RightChOffset
                       << "\nAmpfx5Ch1Power=" << Join(block.Ampfx5Ch1Power, 6) << "\n";
            }
            break;
        case BlockKind::Virtual71:
            if (complete(sizeof(AmpfxVirtual71Request))) {
                AmpfxVirtual71Request block;
                std::memcpy(&block, output.data(), sizeof block);
                fields << "selector=" << block.Selector
                       << "\nEnableVirtual7ch1=" << block.EnableVirtual7ch1
                       << "\nVirtual7ch1Distance=" << Join(block.Virtual7ch1Distance, 8)
                       << "\nVirtual7ch1Radian=" << Join(block.Virtual7ch1Radian, 8) << "\n";
            }
            break;
        case BlockKind::Raw:
            break;
    }
    return text + fields.str();
}
