// The machine's registry: values written, deleted and listed as a registry editor shows them.
#include <cstring>

#include "host/machine.h"
#include "host/registry.h"
#include "scenario_context.h"
#include "tool_text.h"

namespace {

const char* RegTypeName(uint32_t type) {
    switch (type) {
        case host::kRegNone:
            return "REG_NONE";
        case host::kRegSz:
            return "REG_SZ";
        case host::kRegExpandSz:
            return "REG_EXPAND_SZ";
        case host::kRegBinary:
            return "REG_BINARY";
        case host::kRegDword:
            return "REG_DWORD";
        case host::kRegDwordBigEndian:
            return "REG_DWORD_BIG_ENDIAN";
        case host::kRegLink:
            return "REG_LINK";
        case host::kRegMultiSz:
            return "REG_MULTI_SZ";
        case host::kRegQword:
            return "REG_QWORD";
        default:
            return nullptr;
    }
}

std::string RegValueText(const host::RegistryValue& value) {
    switch (value.type) {
        case host::kRegSz:
        case host::kRegExpandSz:
        case host::kRegLink:
            return host::RegStringFromData(value.data);
        case host::kRegMultiSz:
            return Join(host::RegMultiStringFromData(value.data));
        case host::kRegDword:
            if (value.data.size() == 4) {
                uint32_t number;
                std::memcpy(&number, value.data.data(), 4);
                return std::to_string(number);
            }
            break;
        case host::kRegQword:
            if (value.data.size() == 8) {
                uint64_t number;
                std::memcpy(&number, value.data.data(), 8);
                return std::to_string(number);
            }
            break;
        default:
            break;
    }
    return HexText(value.data);  // binary, and any value whose size does not fit its type
}

// The value's data as the registry stores a value of the scenario's TYPE word.
std::vector<uint8_t> ValueData(const std::string& type, const std::string& text,
                               uint32_t* regType) {
    std::vector<uint8_t> data;
    if (type == "dword") {
        const uint32_t value = ParseNumber(text, "dword");
        data.resize(4);
        std::memcpy(data.data(), &value, 4);
        *regType = host::kRegDword;
    } else if (type == "sz" || type == "expand-sz") {
        data = host::RegStringData(text);
        *regType = type == "sz" ? host::kRegSz : host::kRegExpandSz;
    } else if (type == "multi-sz") {
        data = host::RegMultiStringData(SplitCommaList(text));
        *regType = host::kRegMultiSz;
    } else if (type == "binary") {
        std::string reason;
        if (!ParseHexBytesText(text, &data, &reason))
            Fail(reason);
        *regType = host::kRegBinary;
    } else if (type == "f32") {
        for (const std::string& item : SplitCommaList(text)) {
            const float value = static_cast<float>(ParseReal(item, "float"));
            uint8_t bytes[4];
            std::memcpy(bytes, &value, 4);  // the host is little-endian, as Windows
            data.insert(data.end(), bytes, bytes + 4);
        }
        *regType = host::kRegBinary;
    } else {
        Fail("unknown value type '" + type + "' (dword, sz, expand-sz, multi-sz, binary, f32)");
    }
    return data;
}

void Reg(ScenarioContext& c, const Words& w) {
    if (w.size() < 2)
        Fail("usage: reg set|delete|dump KEY ...");
    host::Registry& registry = c.Machine().registry();
    if (w[1] == "set") {
        Arity(w, 6, 6, "reg set KEY NAME dword|sz|expand-sz|multi-sz|binary|f32 VALUE");
        const std::string& key = w[2];
        const std::string& name = w[3];
        uint32_t regType = 0;
        const std::vector<uint8_t> data = ValueData(w[4], w[5], &regType);
        uint32_t error = registry.CreateKey(key);
        if (error == 0)
            error = registry.SetValue(key, name, regType, data.data(), data.size());
        c.out << "error=" << error << "\n";
    } else if (w[1] == "delete") {
        Arity(w, 3, 4, "reg delete KEY [NAME]");
        const uint32_t error =
            w.size() == 4 ? registry.DeleteValue(w[2], w[3]) : registry.DeleteTree(w[2]);
        c.out << "error=" << error << "\n";
    } else if (w[1] == "dump") {
        Arity(w, 3, 3, "reg dump KEY");
        std::vector<host::RegistryValue> values;
        const uint32_t error = registry.EnumValues(w[2], &values);
        if (error != 0) {
            c.out << "error=" << error << "\n";
            return;
        }
        for (const host::RegistryValue& value : values) {
            const char* type = RegTypeName(value.type);
            std::string line = (value.name.empty() ? "(default)" : value.name) + " " +
                               (type ? type : "REG_" + std::to_string(value.type)) + " " +
                               RegValueText(value);
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            c.out << line << "\n";
        }
    } else {
        Fail("unknown reg operation '" + w[1] + "' (set, delete, dump)");
    }
}

const ScenarioCommandArea kRegistryCommands = {
    {"reg", Reg},
};

}  // namespace
