// Stream on an ALSA PCM ("alsa:NAME": alsa:default, alsa:hw:0,0,
// alsa:plughw:1), with blocking reads and writes of interleaved frames.
// The PCM is asked for periods of one block and two periods; what it granted
// is reported. Overruns and underruns are recovered and counted; a PCM that
// has gone (an unplugged card) ends the stream.
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

private:
    snd_pcm_t* pcm = nullptr;
    snd_pcm_uframes_t period = 0;   // frames, as granted
    snd_pcm_uframes_t buffer = 0;   // frames, as granted
    XrunReport xruns;

    // The ALSA name after "alsa:".
    const char* alsa_name() const;
    bool configure();
    // Moves count frames through transfer (readi or writei), recovering
    // from overruns and underruns; frames or -1.
    template <typename Transfer>
    int64_t move(char* data, uint64_t count, Transfer transfer);
};
