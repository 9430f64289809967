// Stream through the sound server (PulseAudio, or PipeWire's PulseAudio
// service), as its client "Zentaphon": records from the server's default
// source ("pulse") or from a named one ("pulse:SOURCE", such as a sink's
// ".monitor"), plays to the default sink. The server given by PULSE_SERVER
// (or the client configuration) is used; none is started.
//
// The server is asked for fragments of one block and at most two blocks in
// its buffer; what it granted is reported. The client's own main loop runs
// on the calling thread inside the constructor, read and write, which block
// until the whole block has moved, but never longer than stall_limit beyond
// a block's time: a server that stops answering fails the transfer (or the
// opening) and leaves the stream abandoned. While the server suspends the
// source or sink, blocks go on as silence (or are not played) at the
// block rate.
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
    // What the server can take, after handling what it has sent meanwhile.
    int64_t room() override;

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
    bool device_suspended = false;    // the server's word on the stream's device
    bool suspended = false;           // the suspension has been reported
    double suspended_since = -1;      // monotonic seconds, or -1 while not suspended
    double silence_due = 0;           // monotonic seconds: the next block while suspended
    XrunReport xruns;

    // The source named after "pulse:", or null for the default.
    const char* source_name() const;
    bool connect();
    bool open_stream();
    // Turns the main loop until ready() says 1 (true) or -1 (false after
    // the line "Can't open"), or until deadline (false after the line, the
    // stream abandoned).
    template <typename Ready>
    bool set_up(double deadline, Ready ready);
    // The line of a connection that failed, naming PULSE_SERVER when it
    // is set, since that is then where the server was looked for.
    void report_no_server();
    // While the server suspends the device: the block's time passes and
    // true (a read gets silence from offset done on); false otherwise.
    bool pass_suspended(char* out, long long done, long long total);
    // One turn of the main loop, waiting at most until `until` (monotonic
    // seconds): 1 when something was dispatched, 0 when the time is up, -1
    // (after the message, with gone set) when the connection or the stream
    // has failed.
    int turn(double until);
    // A turn that must come before deadline; false after the message.
    bool wait(double deadline);
    // A read with `missing` bytes still to come and nothing queued: 1 when
    // the server had sent more meanwhile, else 0 after sleeping until the
    // rest can be there (never past deadline); -1 (after the message) when
    // the connection has failed.
    int rest_for(long long missing, double deadline);
    bool alive() const;
    void report_lost();
    static void on_xrun(pa_stream* s, void* self);
    static void on_suspended(pa_stream* s, void* self);
};
