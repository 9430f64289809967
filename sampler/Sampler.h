// The sampler: turns the configured source into fixed-length blocks of
// interleaved stereo 32-bit samples with their channel means.
#pragma once

#include "common/Numeric.h"
#include "pcm/PCM.h"

#include <cstdint>
#include <memory>

class Sampler {
public:
    enum { Soundcard = 0, Diskfile = 1 };
    static constexpr unsigned int max_length = 65536;  // frames; analyser columns are 16-bit

    int source;                 // Soundcard or Diskfile
    int rate;                   // Hz requested from the device
    unsigned int length;        // frames per block: a power of two, 128 .. max_length
    int resolution;             // bits: 16 or 32 pass our own test
    const char* device;         // borrowed from the settings
    const char* filename;       // borrowed from the settings
    std::unique_ptr<int32_t[]> buffer;  // 2 * length elements: 32-bit samples, or at resolution 16
                                        // each a 16-bit sample << 16; null while stopped
    int dc_left;                // mean of the left elements of the last block
    int dc_right;               // mean of the right elements
    int count;                  // block number: -1 after a start
    bool block_failed;          // the last block's device read failed: it is silence, no sound
    double blocks_per_second;   // rate / length
    std::unique_ptr<PCM> device_pcm;    // non-null exactly while running
    std::unique_ptr<PCM> file_pcm;      // disk-file mode only
    int failures;               // device transfers failed in a row
    int failed_blocks;          // the blocks' worth of time those failures took
    int unreported;             // failures kept quiet since the last line about them
    int quiet_blocks;           // blocks since the streams were made quiet

    // Validates the settings, allocates the block, opens the streams and
    // prints the device report. False: stopped, nothing held.
    bool start();
    // One block. False: the run is over, because the disk file has no
    // further whole block, or because the device has failed for about a
    // second of blocks in a row or has gone (one line said so). A single
    // failed device transfer is reported and the block goes on (a failed
    // read as silence, with block_failed set); a failure
    // takes at least a block's time, so a dead device is never polled
    // flat out.
    bool read_block();
    // Releases streams and block, whatever it holds. Harmless when stopped.
    void stop();

private:
    // Counts a failed device transfer begun at started (monotonic
    // seconds); false when the run must end.
    bool device_failed(const char* what, double started);
    void device_worked();
    // Reports failures kept quiet once a second's worth of blocks has gone by.
    void report_quiet_failures();
    void reset_failures();
};

extern Sampler sampler;

// 16-bit host-order samples at the front of buf become 32-bit elements
// (sample << 16), in place; count is the number of 16-bit samples.
void widen_samples(int32_t* buf, unsigned int count);

// Means of the left and right elements of frames interleaved frames,
// summed in 64 bits and truncated toward zero.
void channel_means(const int32_t* buf, unsigned int frames, int& left, int& right);

