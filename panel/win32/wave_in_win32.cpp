#include "wave_in_win32.h"

#include "panel_shell_win32.h"
#include "panel_system_win32.h"

Win32WaveIn::~Win32WaveIn() {
    ResetAndClose();
}

uint32_t Win32WaveIn::DeviceCount() {
    return waveInGetNumDevs();
}

bool Win32WaveIn::ProductName(uint32_t device, std::u16string* name) {
    WAVEINCAPSW caps = {};
    if (waveInGetDevCapsW(device, &caps, sizeof caps) != MMSYSERR_NOERROR)
        return false;
    *name = FromWide(caps.szPname);
    return true;
}

bool Win32WaveIn::Open(uint32_t device, uint32_t samplesPerSecond, uint16_t bitsPerSample,
                       uint16_t channels) {
    if (device_ != nullptr || shell_.Window() == nullptr)
        return false;
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = samplesPerSecond;
    format.wBitsPerSample = bitsPerSample;
    format.nBlockAlign = static_cast<WORD>(channels * bitsPerSample / 8);
    format.nAvgBytesPerSec = samplesPerSecond * format.nBlockAlign;
    HWAVEIN opened = nullptr;
    if (waveInOpen(&opened, device, &format, reinterpret_cast<DWORD_PTR>(shell_.Window()), 0,
                   CALLBACK_WINDOW) != MMSYSERR_NOERROR)
        return false;
    device_ = opened;
    return true;
}

bool Win32WaveIn::Queue(int index, uint8_t* data, uint32_t size) {
    if (device_ == nullptr || index < 0 || index >= kBuffers)
        return false;
    WAVEHDR& header = headers_[index];
    if (prepared_[index] &&
        (header.lpData != reinterpret_cast<LPSTR>(data) || header.dwBufferLength != size)) {
        // Another buffer in this slot: the old one goes back first.
        waveInUnprepareHeader(device_, &header, sizeof header);
        prepared_[index] = false;
    }
    if (!prepared_[index]) {
        header = {};
        header.lpData = reinterpret_cast<LPSTR>(data);
        header.dwBufferLength = size;
        header.dwUser = static_cast<DWORD_PTR>(index);
        if (waveInPrepareHeader(device_, &header, sizeof header) != MMSYSERR_NOERROR)
            return false;
        prepared_[index] = true;
    }
    header.dwBytesRecorded = 0;
    return waveInAddBuffer(device_, &header, sizeof header) == MMSYSERR_NOERROR;
}

bool Win32WaveIn::Start() {
    return device_ != nullptr && waveInStart(device_) == MMSYSERR_NOERROR;
}

void Win32WaveIn::ResetAndClose() {
    if (device_ == nullptr)
        return;
    waveInReset(device_);
    // winmm unprepares only through an open device, and the dialog asks for it after the close
    // has been reported; the buffers the reset returned are unprepared here instead.
    UnprepareAll();
    waveInClose(device_);
    device_ = nullptr;
    // Whatever the close left prepared belonged to that device.
    for (bool& prepared : prepared_)
        prepared = false;
}

void Win32WaveIn::Unprepare(int index) {
    if (index < 0 || index >= kBuffers || !prepared_[index] || device_ == nullptr)
        return;
    if (waveInUnprepareHeader(device_, &headers_[index], sizeof headers_[index]) ==
        MMSYSERR_NOERROR)
        prepared_[index] = false;
}

void Win32WaveIn::UnprepareAll() {
    for (int i = 0; i < kBuffers; ++i)
        Unprepare(i);
}

void Win32WaveIn::Beep() {
    MessageBeep(MB_ICONEXCLAMATION);
}
