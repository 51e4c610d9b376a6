// The driver's control device and its effect record: control requests as ampfxctl and the
// panel send them, and the record's fields as the driver holds them.
#include <string>
#include <utility>
#include <vector>

#include "ampfx_driver.h"
#include "ampfx_ioctl.h"
#include "ampfxctl.h"
#include "control_request_text.h"
#include "eq_preset_table.h"
#include "driver_link_host.h"
#include "scenario_context.h"
#include "settings_table.h"

namespace {

void SendControl(ScenarioContext& c, const ControlRequestText& request) {
    HostDriverLink link;
    uint32_t status = 0;
    std::string answer;
    std::string error;
    if (!SendControlRequest(link, request, &status, &answer, &error)) {
        c.out << "open-failed " << error << "\n";
        return;
    }
    c.out << answer;
}

void Ioctl(ScenarioContext& c, const Words& w) {
    ControlRequestText request;
    std::string error;
    if (!ParseControlRequest(Words(w.begin() + 1, w.end()), &request, &error))
        Fail(error);
    c.Machine();
    SendControl(c, request);
}

void EqPreset(ScenarioContext& c, const Words& w) {
    Arity(w, 2, 2, "eq-preset NAME");
    const ::EqPreset* preset = FindEqPreset(w[1].c_str());
    if (preset == nullptr)
        Fail("unknown equalizer preset '" + w[1] + "'");
    c.Machine();
    // As the panel applies a preset: one band request per band, band 0 first.
    for (uint16_t band = 0; band < kEqBandCount; ++band) {
        ControlRequestText request;
        std::string error;
        const std::string gain = FormatFloat(DecibelsToLinearGain(preset->gainDb[band]));
        ParseControlRequest({"eq-band", "set", std::to_string(band), gain}, &request, &error);
        c.out << "band=" << band << " gain=" << gain << " ";
        SendControl(c, request);
    }
}

template <typename T>
std::vector<std::string> Items(const T* values, size_t count) {
    std::vector<std::string> items;
    for (size_t i = 0; i < count; ++i) {
        if constexpr (std::is_floating_point_v<T>)
            items.push_back(FormatFloat(values[i]));
        else
            items.push_back(std::to_string(values[i]));
    }
    return items;
}

template <typename T>
std::vector<std::string> Item(const T& value) {
    return Items(&value, 1);
}

std::vector<std::string> Presence(const void* buffer) {
    return {buffer != nullptr ? "present" : "absent"};
}

using StateFields = std::vector<std::pair<std::string, std::vector<std::string>>>;

// A persisted setting as the driver's settings table describes it: its name and its values.
std::pair<std::string, std::vector<std::string>> Setting(const EffectState& s, SettingId id) {
    const SettingDescriptor& setting = kSettings[id];
    std::string name;
    for (const char16_t* c = setting.Name; *c != u'\0'; ++c)
        name.push_back(static_cast<char>(*c));
    if (setting.Kind == SettingKind::Dword)
        return {name, Item(*SettingDword(&s, setting))};
    return {name, Items(SettingFloats(&s, setting), setting.Count)};
}

StateFields ReadStateFields() {
    const EffectState& s = g_EffectState;
    return {
        Setting(s, kSettingSoundFieldType),
        Setting(s, kSettingEnableNoiseClean),
        Setting(s, kSettingEnableSoundDRC),
        Setting(s, kSettingEnableAmpfxEQ),
        Setting(s, kSettingAmpfxEQGain),
        {"EqGainCurve", Items(s.EqGainCurve, kEqCurveBins)},
        Setting(s, kSettingEnableVirtual7ch1),
        Setting(s, kSettingVirtual7ch1Distance),
        Setting(s, kSettingVirtual7ch1Radian),
        {"SpeakerMixLeft", Items(s.SpeakerMixLeft, kSpeakerCount)},
        {"SpeakerMixRight", Items(s.SpeakerMixRight, kSpeakerCount)},
        Setting(s, kSettingEnableHRTF),
        Setting(s, kSettingLeftChOffset),
        Setting(s, kSettingRightChOffset),
        Setting(s, kSettingAmpfx5Ch1Power),
        Setting(s, kSettingEnableConvert),
        {"HostMuteState", Item(static_cast<unsigned>(s.HostMuteState))},
        {"NoiseGateMuted", Item(s.NoiseGateMuted)},
        {"NoiseGateCount", Item(s.NoiseGateCount)},
        {"LfeState", Item(static_cast<int>(s.LfeState))},
        {"DrcPowerLeft", Item(s.DrcPowerLeft)},
        {"DrcPowerRight", Item(s.DrcPowerRight)},
        {"DrcGain", Item(s.DrcGain)},
        {"SoundFieldBusy", Item(s.SoundFieldBusy)},
        {"SoundFieldUsers", Item(s.SoundFieldUsers)},
        {"SoundFieldPreset", Item(s.SoundFieldPreset)},
        {"SoundFieldClearPending", Item(s.SoundFieldClearPending)},
        {"SoundFieldWork", Presence(s.SoundFieldWork)},
        {"SoundFieldPositions", Presence(s.SoundFieldPositions)},
        {"SoundFieldParams", Presence(s.SoundFieldParams)},
        {"DeviceSupported", Item(DeviceSupported)},
        {"DeviceUnlisted", Item(DeviceUnlisted)},
    };
}

void State(ScenarioContext& c, const Words& w) {
    c.Machine();
    const StateFields fields = ReadStateFields();
    if (w.size() == 1) {
        for (const auto& field : fields)
            c.out << field.first << "=" << Join(field.second) << "\n";
        return;
    }
    // A field by name, or a part of an array as NAME[FIRST:LAST] (both entries included).
    std::string text;
    for (size_t i = 1; i < w.size(); ++i) {
        const std::string& word = w[i];
        const size_t bracket = word.find('[');
        const std::string name = word.substr(0, bracket);
        const std::vector<std::string>* items = nullptr;
        for (const auto& field : fields)
            if (field.first == name)
                items = &field.second;
        if (items == nullptr)
            Fail("no state field '" + name + "'");
        size_t first = 0;
        size_t last = items->size() - 1;
        if (bracket != std::string::npos) {
            const size_t colon = word.find(':', bracket);
            if (colon == std::string::npos || word.back() != ']')
                Fail("usage: state NAME[FIRST:LAST]");
            first = ParseNumber(word.substr(bracket + 1, colon - bracket - 1), "index");
            last = ParseNumber(word.substr(colon + 1, word.size() - colon - 2), "index");
            if (first > last)
                Fail("'" + word + "' runs backwards: FIRST must not be after LAST");
            if (last >= items->size())
                Fail("'" + word + "' is outside " + name + " (0 to " +
                     std::to_string(items->size() - 1) + ")");
        }
        text += word + "=" +
                Join(std::vector<std::string>(items->begin() + first, items->begin() + last + 1)) +
                "\n";
    }
    c.out << text;
}

const ScenarioCommandArea kDriverCommands = {
    {"ioctl", Ioctl},
    {"eq-preset", EqPreset},
    {"state", State},
};

}  // namespace
