// Fuzz target for the CDR file stream.
#include "StreamFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::run(".cdr", data, size);
    return 0;
}
