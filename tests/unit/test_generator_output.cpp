// The generator's output on ALSA's null PCM (always room) and its refusal
// of a device that cannot say what it takes without waiting.
#include "generator/GeneratorOutput.h"

#include <gtest/gtest.h>

#include <string>

TEST(GeneratorOutput, FillsWhatAnAlsaPcmTakesAndRefusesTheDemo)
{
    GeneratorOutput out;
    testing::internal::CaptureStderr();
    const bool opened = out.open("alsa:null", 48000, 32, 1024);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(opened) << err;
    EXPECT_NE(err.find("mode: write\nformat: signed 32 bits\n"), std::string::npos) << err;
    out.generator().switch_on(true);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(out.top_up());
    // Never more than the queue's three blocks at a time.
    EXPECT_GT(out.frames_written(), 0u);
    EXPECT_LE(out.frames_written(), 5u * GeneratorOutput::queue_blocks * 1024u);
    out.close();
    EXPECT_FALSE(out.top_up());

    testing::internal::CaptureStderr();
    EXPECT_FALSE(out.open("demo", 44100, 16, 2048));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "error: demo: the generator plays only to the sound server or an ALSA PCM\n");
    EXPECT_FALSE(out.is_open());
}
