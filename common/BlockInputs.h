// What the per-block computation of the analysers and the scope needs
// besides the samples: facts of the block and the settings that shape it.
// The work procedure fills block_inputs once per block; the computation
// takes the value as a parameter and reads no other state.
#pragma once

struct BlockInputs {
    int dc_left = 0;                // channel means of the block, widened sample units
    int dc_right = 0;
    bool first_block = true;        // first block after a start: levels replaced, no decay
    double blocks_per_second = 0.0; // rate / block length; decay and hold are per block
    int rate = 0;                   // Hz
    float upperdb = 0.0f;           // level range, dB (top and bottom rows)
    float lowerdb = 0.0f;
    bool dcadjust = false;          // take the channel means off first
    int bits = 16;                  // the stream's sample width: 16 (samples shifted left by 16) or 32
};

// The inputs of the block in Sampler::buffer.
inline BlockInputs block_inputs;
