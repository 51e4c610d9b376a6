#include "host/audio_stream.h"

namespace host {

AudioStream::AudioStream(DevNode* node) : node_(node) {}
bool AudioStream::Ready() const {
    return false;
}
NTSTATUS AudioStream::SelectInterface(uint8_t, uint8_t) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::Start() {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::Stop() {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::WriteOut(const uint8_t*, uint32_t, ULONG, KIRQL) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::Play(const std::vector<uint8_t>&, uint32_t) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::ReadIn(uint32_t, std::vector<uint8_t>*) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::AbortPipe() {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::SetCurMute(uint8_t) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS AudioStream::GetCurMute(uint8_t*) {
    return STATUS_NOT_IMPLEMENTED;
}
USBD_STATUS AudioStream::LastUrbStatus() const {
    return lastUrbStatus_;
}
NTSTATUS AudioStream::Submit(URB*, KIRQL) {
    return STATUS_NOT_IMPLEMENTED;
}

}  // namespace host
