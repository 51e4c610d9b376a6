#include "mixer_win32.h"

#include <mmsystem.h>

#include "panel_system_win32.h"

namespace {

HMIXEROBJ AsObject(MixerPorts::Mixer mixer) {
    return reinterpret_cast<HMIXEROBJ>(mixer);
}

static_assert(sizeof(MIXERCONTROLW) == 228, "the mixer's control record");

bool QueryLine(MixerPorts::Mixer mixer, MIXERLINEW* info, DWORD how) {
    info->cbStruct = sizeof *info;
    return mixerGetLineInfoW(AsObject(mixer), info, MIXER_OBJECTF_HMIXER | how) == MMSYSERR_NOERROR;
}

void FromLine(const MIXERLINEW& info, MixerPorts::Line* line) {
    line->lineId = info.dwLineID;
    line->destination = info.dwDestination;
    line->componentType = info.dwComponentType;
    line->sourceCount = info.cConnections;
    line->targetName = FromWide(info.Target.szPname);
}

MixerPorts::Control FromControl(const MIXERCONTROLW& info) {
    MixerPorts::Control control;
    control.controlId = info.dwControlID;
    control.type = info.dwControlType;
    control.minimum = info.Bounds.dwMinimum;
    control.maximum = info.Bounds.dwMaximum;
    return control;
}

// One value for every channel of the control, as the panel treats each control.
bool Details(MixerPorts::Mixer mixer, const MixerPorts::Control& control, uint32_t* value,
             bool set) {
    MIXERCONTROLDETAILS_UNSIGNED datum = {};
    datum.dwValue = *value;
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = control.controlId;
    details.cChannels = 1;
    details.cMultipleItems = 0;
    details.cbDetails = sizeof datum;
    details.paDetails = &datum;
    const DWORD flags = MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE;
    const MMRESULT result = set ? mixerSetControlDetails(AsObject(mixer), &details, flags)
                                : mixerGetControlDetails(AsObject(mixer), &details, flags);
    if (result != MMSYSERR_NOERROR)
        return false;
    *value = datum.dwValue;
    return true;
}

}  // namespace

uint32_t Win32Mixer::DeviceCount() {
    return mixerGetNumDevs();
}

bool Win32Mixer::Open(uint32_t index, Mixer* mixer) {
    HMIXER opened = nullptr;
    if (mixerOpen(&opened, index, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR)
        return false;
    *mixer = reinterpret_cast<Mixer>(opened);
    return true;
}

void Win32Mixer::Close(Mixer mixer) {
    mixerClose(reinterpret_cast<HMIXER>(mixer));
}

bool Win32Mixer::DestinationByType(Mixer mixer, uint32_t componentType, Line* line) {
    MIXERLINEW info = {};
    info.dwComponentType = componentType;
    if (!QueryLine(mixer, &info, MIXER_GETLINEINFOF_COMPONENTTYPE))
        return false;
    FromLine(info, line);
    return true;
}

bool Win32Mixer::Source(Mixer mixer, const Line& destination, uint32_t index, Line* line) {
    MIXERLINEW info = {};
    info.dwDestination = destination.destination;
    info.dwSource = index;
    if (!QueryLine(mixer, &info, MIXER_GETLINEINFOF_SOURCE))
        return false;
    FromLine(info, line);
    return true;
}

bool Win32Mixer::AllControls(Mixer mixer, const Line& line, std::vector<Control>* controls) {
    controls->clear();
    // The number of controls is the line's own; it is read again rather than carried along.
    MIXERLINEW info = {};
    info.dwLineID = line.lineId;
    if (!QueryLine(mixer, &info, MIXER_GETLINEINFOF_LINEID))
        return false;
    if (info.cControls == 0)
        return true;
    std::vector<MIXERCONTROLW> records(info.cControls);
    MIXERLINECONTROLSW query = {};
    query.cbStruct = sizeof query;
    query.dwLineID = line.lineId;
    query.cControls = info.cControls;
    query.cbmxctrl = sizeof(MIXERCONTROLW);
    query.pamxctrl = records.data();
    if (mixerGetLineControlsW(AsObject(mixer), &query,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ALL) !=
        MMSYSERR_NOERROR)
        return false;
    for (const MIXERCONTROLW& record : records)
        controls->push_back(FromControl(record));
    return true;
}

bool Win32Mixer::ControlByType(Mixer mixer, const Line& line, uint32_t type, Control* control) {
    MIXERCONTROLW record = {};
    record.cbStruct = sizeof record;
    MIXERLINECONTROLSW query = {};
    query.cbStruct = sizeof query;
    query.dwLineID = line.lineId;
    query.dwControlType = type;
    query.cControls = 1;
    query.cbmxctrl = sizeof record;
    query.pamxctrl = &record;
    if (mixerGetLineControlsW(AsObject(mixer), &query,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) !=
        MMSYSERR_NOERROR)
        return false;
    *control = FromControl(record);
    return true;
}

bool Win32Mixer::GetValue(Mixer mixer, const Control& control, uint32_t* value) {
    uint32_t read = 0;
    if (!Details(mixer, control, &read, false))
        return false;
    *value = read;
    return true;
}

bool Win32Mixer::SetValue(Mixer mixer, const Control& control, uint32_t value) {
    return Details(mixer, control, &value, true);
}
