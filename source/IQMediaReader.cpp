#include "source/IQMediaReader.h"

// Out of line, so that the library holds the interfaces' type information and slot tables
// once, and a host's reader and the library agree on them.
IQMediaReader::~IQMediaReader() = default;

int IQMediaReader::GetNextAudioSample(unsigned char*& data, int& size, bool& last) {
    (void)data;
    (void)size;
    (void)last;
    return 0;
}

bool IQMediaReader::GetAudioDuration(double& seconds) {
    (void)seconds;
    return true;
}

bool IQMediaReader::IsAudioEnd() {
    return true;
}

IQMediaReader_Network::~IQMediaReader_Network() = default;
