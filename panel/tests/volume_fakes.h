// Core Audio and the mixer as plain data: capture endpoints with friendly names, volume steps
// and mute, the adapter topology behind each with its subunits, and mixers with their
// wave-in lines. Every interface handed out is counted until it is released.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "windows_volume_ports.h"

namespace panel_test {

class FakeCoreAudio : public CoreAudioPorts {
  public:
    struct Unit {
        bool agc = false;
        int32_t enabled = 0;
    };
    struct Endpoint {
        std::u16string name;
        uint32_t step = 50, stepCount = 101;
        int32_t mute = 0;
        std::vector<Unit> subunits;  // of the adapter behind the endpoint
    };
    std::vector<Endpoint> endpoints;
    int failStep = 0;  // 2 to 10: that step of the topology walk fails
    int live = 0, comDepth = 0;
    std::vector<MicChangeCallback*> volumeCallbacks, partCallbacks;
    float lastScalar = -1;

    int32_t InitializeCom() override { return ++comDepth, 0; }
    void UninitializeCom() override { --comDepth; }
    void Release(Object) override { --live; }

    int32_t CreateEnumerator(Object* out) override {
        return Give(failStep == 2 && enumerators_++ > 0, 1, out);
    }
    int32_t ActiveCaptureEndpoints(Object, std::vector<Object>* out) override {
        for (size_t i = 0; i < endpoints.size(); ++i) {
            ++live;
            out->push_back(Encode(2, i));
        }
        return 0;
    }
    int32_t FriendlyName(Object endpoint, std::u16string* name) override {
        *name = At(endpoint).name;
        return 0;
    }
    int32_t EndpointVolume(Object endpoint, Object* out) override {
        return Give(false, 3, out, Index(endpoint));
    }
    int32_t VolumeStepInfo(Object v, uint32_t* step, uint32_t* count) override {
        *step = At(v).step;
        *count = At(v).stepCount;
        return 0;
    }
    int32_t SetMasterVolumeScalar(Object v, float level) override {
        lastScalar = level;
        At(v).step = static_cast<uint32_t>(level * (At(v).stepCount - 1) + 0.5f);
        return 0;
    }
    int32_t GetMute(Object v, int32_t* mute) override { return *mute = At(v).mute, 0; }
    int32_t SetMute(Object v, int32_t mute) override { return At(v).mute = mute, 0; }
    int32_t RegisterVolumeCallback(Object, MicChangeCallback* cb) override {
        volumeCallbacks.push_back(cb);
        return 0;
    }
    int32_t UnregisterVolumeCallback(Object, MicChangeCallback* cb) override {
        return Remove(volumeCallbacks, cb);
    }
    int32_t EndpointTopology(Object e, Object* out) override {
        return Give(failStep == 3, 4, out, Index(e));
    }
    int32_t Connector(Object t, uint32_t, Object* out) override {
        return Give(failStep == 4, 5, out, Index(t));
    }
    int32_t ConnectedDeviceId(Object c, std::u16string* id) override {
        if (failStep == 5)
            return -1;
        *id = u"adapter" + std::u16string(1, static_cast<char16_t>(u'0' + Index(c)));
        return 0;
    }
    int32_t DeviceById(Object, const std::u16string& id, Object* out) override {
        return Give(failStep == 6, 6, out, static_cast<size_t>(id.back() - u'0'));
    }
    int32_t DeviceTopology(Object d, Object* out) override {
        return Give(failStep == 7, 7, out, Index(d));
    }
    int32_t SubunitCount(Object t, uint32_t* count) override {
        if (failStep == 8)
            return -1;
        *count = static_cast<uint32_t>(At(t).subunits.size());
        return 0;
    }
    int32_t Subunit(Object t, uint32_t index, Object* out) override {
        return Give(failStep == 9, 8, out, Index(t), index);
    }
    int32_t SubunitPart(Object s, Object* out) override {
        return Give(failStep == 10, 9, out, Index(s), Sub(s));
    }
    int32_t ActivateAgc(Object part, Object* out) override {
        if (!At(part).subunits[Sub(part)].agc)
            return static_cast<int32_t>(0x80070490);  // E_NOTFOUND
        return Give(false, 10, out, Index(part), Sub(part));
    }
    int32_t GetAgcEnabled(Object agc, int32_t* enabled) override {
        return *enabled = At(agc).subunits[Sub(agc)].enabled, 0;
    }
    int32_t SetAgcEnabled(Object agc, int32_t enabled) override {
        return At(agc).subunits[Sub(agc)].enabled = enabled, 0;
    }
    int32_t RegisterPartCallback(Object, MicChangeCallback* cb) override {
        partCallbacks.push_back(cb);
        return 0;
    }
    int32_t UnregisterPartCallback(Object, MicChangeCallback* cb) override {
        return Remove(partCallbacks, cb);
    }

  private:
    static Object Encode(int kind, size_t index, size_t sub = 0) {
        return static_cast<Object>((kind << 24) | (index << 8) | sub);
    }
    static size_t Index(Object o) { return (static_cast<size_t>(o) >> 8) & 0xFFFF; }
    static size_t Sub(Object o) { return static_cast<size_t>(o) & 0xFF; }
    Endpoint& At(Object o) { return endpoints[Index(o)]; }
    int32_t Give(bool fail, int kind, Object* out, size_t index = 0, size_t sub = 0) {
        if (fail)
            return -1;
        ++live;
        *out = Encode(kind, index, sub);
        return 0;
    }
    static int32_t Remove(std::vector<MicChangeCallback*>& list, MicChangeCallback* cb) {
        for (auto it = list.begin(); it != list.end(); ++it)
            if (*it == cb) {
                list.erase(it);
                return 0;
            }
        return -1;
    }
    int enumerators_ = 0;
};

class FakeMixer : public MixerPorts {
  public:
    struct Device {
        bool opens = true;
        std::u16string target;
        std::vector<uint32_t> destinationControls;
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> sources;  // type, controls
        std::map<uint32_t, uint32_t> values;                              // control type -> value
    };
    std::vector<Device> devices;
    int openMixers = 0;

    uint32_t DeviceCount() override { return static_cast<uint32_t>(devices.size()); }
    bool Open(uint32_t index, Mixer* mixer) override {
        if (!devices[index].opens)
            return false;
        ++openMixers;
        *mixer = static_cast<Mixer>(index);
        return true;
    }
    void Close(Mixer) override { --openMixers; }
    bool DestinationByType(Mixer m, uint32_t type, Line* line) override {
        if (type != 7)
            return false;
        line->lineId = 0xFFFF;
        line->componentType = 7;
        line->sourceCount = static_cast<uint32_t>(devices[m].sources.size());
        line->targetName = devices[m].target;
        return true;
    }
    bool Source(Mixer m, const Line&, uint32_t index, Line* line) override {
        if (index >= devices[m].sources.size())
            return false;
        line->lineId = index;
        line->componentType = devices[m].sources[index].first;
        return true;
    }
    bool AllControls(Mixer m, const Line& line, std::vector<Control>* controls) override {
        const std::vector<uint32_t>& types = line.lineId == 0xFFFF
                                                 ? devices[m].destinationControls
                                                 : devices[m].sources[line.lineId].second;
        for (uint32_t type : types)
            controls->push_back({type, type, 0, 65535});
        return true;
    }
    bool ControlByType(Mixer m, const Line& line, uint32_t type, Control* control) override {
        std::vector<Control> all;
        AllControls(m, line, &all);
        for (const Control& c : all)
            if (c.type == type) {
                *control = c;
                return true;
            }
        return false;
    }
    bool GetValue(Mixer m, const Control& c, uint32_t* value) override {
        *value = devices[m].values[c.type];
        return true;
    }
    bool SetValue(Mixer m, const Control& c, uint32_t value) override {
        devices[m].values[c.type] = value;
        return true;
    }
};

}  // namespace panel_test
