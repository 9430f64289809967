// Stream through the sound server (PulseAudio, or PipeWire's PulseAudio
// service), as its client "Zentaphon": records from the server's default
// source ("pulse") or from a named one ("pulse:SOURCE", such as a sink's
// ".monitor"), plays to the default sink. The server given by PULSE_SERVER
// (or the client configuration) is used; none is started.
//
// The server is asked for fragments of one block and at most two blocks in
// its buffer; what it granted is reported. The client's own main loop runs
// on the calling thread inside read and write, which block until the whole
// block has moved.
#pragma once

#include "pcm/PCM.h"
#include "pcm/XrunReport.h"

#include <pulse/pulseaudio.h>

class PCMPulse : public PCM {
public:
    PCMPulse(const char* name, int type, int mode, int format, int channels, int rate, int size);
    ~PCMPulse() override;

    void print_info() override;
    int64_t frames() override;
    int64_t seek(int64_t frame, int whence) override;
    int64_t read(void* buffer, uint64_t count) override;
    int64_t write(void* buffer, uint64_t count) override;

private:
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_buffer_attr granted{};
    const char* fragment = nullptr;   // recorded data being handed out
    size_t fragment_size = 0;
    size_t fragment_used = 0;
    bool fragment_held = false;       // peeked, to be dropped when used up
    bool triggered = false;           // playing was started by hand in this wait
    XrunReport xruns;

    // The source named after "pulse:", or null for the default.
    const char* source_name() const;
    bool connect();
    bool open_stream();
    // One turn of the main loop, waiting at most until `until` (monotonic
    // seconds): 1 when something was dispatched, 0 when the time is up, -1
    // (after the message, with gone set) when the connection or the stream
    // has failed.
    int turn(double until);
    // A turn that must come before deadline; false after the message.
    bool wait(double deadline);
    bool alive() const;
    void report_lost();
    static void on_xrun(pa_stream* s, void* self);
};
