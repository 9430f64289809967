// Fuzz target for the WAV file stream.
#include "StreamFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::run(".wav", data, size);
    return 0;
}
