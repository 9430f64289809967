// The demonstration signal: a few steady tones and a little noise, different
// on the two channels, so that both views have something to show without a
// sound card. Made from the frame index alone (no state), so any block of it
// can be computed on its own; the `demo` stream and the simulated OSS device
// share it.
//
// Left: 440 Hz at -6 dBFS, 1320 Hz at -24 dBFS, 5000 Hz at -40 dBFS.
// Right: 440 Hz at -8 dBFS, 60 degrees ahead, 2200 Hz at -30 dBFS.
// Both: white noise of peak 0.002 of full scale, independent per channel.
#pragma once

#include <cstdint>

// One 16-bit sample of channel 0 (left) or 1 (right) at frame index frame of
// a stream at rate Hz; full scale is 32767.
int16_t demo_sample(int channel, uint64_t frame, int rate);
// The same signal as a 32-bit sample; full scale is 2147483647.
int32_t demo_sample32(int channel, uint64_t frame, int rate);
