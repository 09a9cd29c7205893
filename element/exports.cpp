// The media element's exported plain functions: each forwards to a member of the element.
#include <cstdint>
#include <cstdlib>

#include "element/CQMediaElement.h"
#include "element/CQWaveOut.h"
#include "varnel/varnel.h"

extern "C" {

CQMediaElement* CQMediaElement_Create(void) {
    return new CQMediaElement();  // owned by the host until CQMediaElement_Destroy
}

bool CQMediaElement_Open(CQMediaElement* element, const MediaElementStreamSetting* setting) {
    return element != nullptr && element->Open(setting);
}

bool CQMediaElement_Play(CQMediaElement* element) {
    return element != nullptr && element->Play();
}

bool CQMediaElement_Pause(CQMediaElement* element) {
    return element != nullptr && element->Pause();
}

bool CQMediaElement_Forward(CQMediaElement* element, MediaElementSpeeds speed) {
    return element != nullptr && element->Forward(speed);
}

bool CQMediaElement_Rewind(CQMediaElement* element, MediaElementSpeeds speed) {
    return element != nullptr && element->Rewind(speed);
}

bool CQMediaElement_SetReverseMode(CQMediaElement* element, int32_t mode) {
    return element != nullptr && element->SetReverseMode(mode);
}

bool CQMediaElement_FrameStep_Forward(CQMediaElement* element) {
    return element != nullptr && element->FrameStep_Forward();
}

bool CQMediaElement_FrameStep_Rewind(CQMediaElement* element) {
    return element != nullptr && element->FrameStep_Rewind();
}

bool CQMediaElement_SetPos(CQMediaElement* element, int32_t percent) {
    return element != nullptr && element->SetPos(percent);
}

// Not one of the element's original exports: without it a C host has no way to the seek by
// time. It takes the recorder's calendar time, as the open record's times do.
bool CQMediaElement_Seek(CQMediaElement* element, int32_t year, int32_t month, int32_t day,
                         int32_t hour, int32_t minute, int32_t second, int32_t millisecond) {
    const platform::SYSTEMTIME indexTime =
        CQMyFile::IndexTime(year, month, day, hour, minute, second, millisecond);
    return element != nullptr && element->Seek(indexTime);
}

bool CQMediaElement_Close(CQMediaElement* element) {
    if (element != nullptr) element->Close();
    return true;
}

// Not one of the element's original exports: without it a host could never free an element.
void CQMediaElement_Destroy(CQMediaElement* element) {
    CQMediaElement::Destroy(element);
}

CQWaveOut* CQWaveOut_Create(void) {
    return new CQWaveOut();  // owned by the host until CQWaveOut_Destroy
}

// Not one of the original exports: without it a host could never free a wave output.
void CQWaveOut_Destroy(CQWaveOut* wave) {
    delete wave;
}

// Every wave output call takes NULL, as Close and Destroy always did: a host that lost the
// handle gets false or 0 instead of a crash.
bool CQWaveOut_Open(CQWaveOut* wave, WAVEFORMATEX format) {
    return wave != nullptr && wave->Open(format);
}

void CQWaveOut_WriteAudioBlock(CQWaveOut* wave, unsigned char* data, int32_t length, bool copy) {
    if (wave != nullptr)
        wave->WriteAudioBlock(data, length, copy);
    else if (!copy)
        std::free(data);  // handed over all the same: it must not leak
}

// The class's own takes a device handle, which a host only ever gets from a wave output.
void CQWaveOut_writeAudioBlock(CQWaveOut* wave, const unsigned char* data, uint32_t size) {
    if (wave != nullptr) wave->WriteAndWait(data, size);
}

unsigned char* CQWaveOut_loadAudioBlock(const char* fileName, uint32_t* size) {
    uint32_t loaded = size != nullptr ? *size : 0;
    unsigned char* block = CQWaveOut::loadAudioBlock(fileName, loaded);
    if (size != nullptr) *size = loaded;
    return block;
}

uint16_t CQWaveOut_GetVolume(CQWaveOut* wave) {
    return wave != nullptr ? wave->GetVolume() : 0;
}

bool CQWaveOut_SetVolume(CQWaveOut* wave, uint16_t v) {
    return wave != nullptr && wave->SetVolume(v);
}

bool CQWaveOut_Mute(CQWaveOut* wave, bool mute) {
    return wave != nullptr && wave->Mute(mute);
}

bool CQWaveOut_Pause(CQWaveOut* wave) {
    return wave != nullptr && wave->Pause();
}

bool CQWaveOut_Play(CQWaveOut* wave) {
    return wave != nullptr && wave->Play();
}

bool CQWaveOut_Close(CQWaveOut* wave) {
    if (wave != nullptr) wave->Close();
    return true;
}

// Not one of the original exports: a host feeding sound needs to know how much is still queued.
int32_t CQWaveOut_QueuedBlocks(CQWaveOut* wave) {
    return wave != nullptr ? wave->QueuedBlocks() : 0;
}

}  // extern "C"
