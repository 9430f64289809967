#include "generator/GeneratorOutput.h"

#include <algorithm>
#include <new>

namespace {

// The sound server's default sink when a server answers, else ALSA's
// default; the line of the last attempt when neither opens.
PCM* open_default(int format, int rate, int size)
{
    PCMErrorCapture capture;
    if (PCM* p = create_pcm("pulse", PCM::Device, PCM::Write, format, 2, rate, size))
        return p;
    if (PCM* p = create_pcm("alsa:default", PCM::Device, PCM::Write, format, 2, rate, size))
        return p;
    capture.pass_on();
    return nullptr;
}

}  // namespace

bool GeneratorOutput::open(const char* device, int rate, int bits, unsigned int block_frames, uint64_t seed)
{
    close();
    if (block_frames == 0 || !generator_.setup(rate, bits, seed))
        return false;
    const int format = bits == 32 ? PCM::S32 : PCM::S16;
    const size_t samples = size_t(2) * queue_blocks * block_frames;
    samples_.reset(new (std::nothrow) int32_t[samples]);
    narrow_.reset(bits == 16 ? new (std::nothrow) int16_t[samples] : nullptr);
    if (!samples_ || (bits == 16 && !narrow_)) {
        std::fprintf(stderr, "error: No memory for the generator's output\n");
        close();
        return false;
    }
    const int size = int(device_blocks * block_frames);
    pcm_.reset(device && *device ? create_pcm(device, PCM::Device, PCM::Write, format, 2, rate, size)
                                 : open_default(format, rate, size));
    if (!pcm_) {
        close();
        return false;
    }
    if (pcm_->room() < 0) {
        if (!pcm_->gone)
            std::fprintf(stderr, "error: %s: the generator plays only to the sound server or an ALSA PCM\n",
                         pcm_->name.c_str());
        close();
        return false;
    }
    block_frames_ = block_frames;
    written_ = 0;
    pcm_->print_info();
    return true;
}

void GeneratorOutput::close()
{
    pcm_.reset();
    samples_.reset();
    narrow_.reset();
}

bool GeneratorOutput::top_up()
{
    if (!pcm_)
        return false;
    const int64_t room = pcm_->room();
    const int64_t frames = std::min<int64_t>(room, int64_t(queue_blocks) * block_frames_);
    if (frames > 0) {
        const unsigned int n = unsigned(frames);
        generator_.process(samples_.get(), n);
        void* out = samples_.get();
        if (narrow_) {
            for (size_t i = 0; i < size_t(2) * n; ++i)
                narrow_[i] = int16_t(samples_[i] >> 16);
            out = narrow_.get();
        }
        if (pcm_->write(out, n) != int64_t(n)) {
            close();
            return false;
        }
        written_ += n;
    }
    if (room < 0) {
        close();
        return false;
    }
    return true;
}
