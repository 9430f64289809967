// Stream on an ALSA PCM ("alsa:NAME": alsa:default, alsa:hw:0,0,
// alsa:plughw:1), with reads and writes of interleaved frames that block
// until the whole block has moved, but never longer than stall_limit beyond
// a block's time: the PCM is opened non-blocking and waited for with a
// bounded snd_pcm_wait. A PCM that misses that deadline is abandoned: never
// drained, dropped or closed, since ALSA's sound-server plugin waits without
// bound in those calls. Opening a PCM behind a stopped sound server cannot
// be bounded so: the plugin waits for the server inside snd_pcm_open.
//
// The PCM is asked for periods of one block and two periods; what it granted
// is reported. Overruns and underruns are recovered and counted; a PCM that
// has gone (an unplugged card, a lost server) ends the stream.
#pragma once

#include "pcm/PCM.h"
#include "pcm/XrunReport.h"

#include <alsa/asoundlib.h>

class PCMALSA : public PCM {
public:
    PCMALSA(const char* name, int type, int mode, int format, int channels, int rate, int size);
    ~PCMALSA() override;

    void print_info() override;
    int64_t frames() override;
    int64_t seek(int64_t frame, int whence) override;
    int64_t read(void* buffer, uint64_t count) override;
    int64_t write(void* buffer, uint64_t count) override;
    // The frames free in the buffer; an underrun is recovered first.
    int64_t room() override;

private:
    snd_pcm_t* pcm = nullptr;
    snd_pcm_uframes_t period = 0;   // frames, as granted
    snd_pcm_uframes_t buffer = 0;   // frames, as granted
    XrunReport xruns;

    // The ALSA name after "alsa:".
    const char* alsa_name() const;
    // The ALSA format of the stream's format code (little-endian).
    snd_pcm_format_t sample_format() const;
    bool configure();
    // Moves count frames through transfer (readi or writei), recovering
    // from overruns and underruns; frames or -1.
    template <typename Transfer>
    int64_t move(char* data, uint64_t count, Transfer transfer);
    // Whether the error (negative, from a transfer or a recovery) means
    // that the PCM has gone for good.
    bool has_gone(int error) const;
    // The line of a PCM that has gone for good; -1.
    int64_t report_gone(int error);
    // Lets a played file's last frames go out, for a short time at most.
    void drain_briefly();
};
