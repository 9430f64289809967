// The running program at -resolution 32: the demonstration signal recorded,
// and a FLAC file (made by the flac tool) played through the demonstration
// device at either resolution, each run reporting its 32 or 16 bits and a
// played file ending its run at the end.
#include "gui/test_analyser_support.h"

using namespace harness;
using namespace analyser_test;

TEST(Resolution32, DemoAndAFlacFileRunAtEitherResolution)
{
    if (system("command -v flac >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "flac is not installed (scripts/setup --test)";
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    TempDir dir;
    const std::string wav = dir.file("t.wav"), flac = dir.file("t.flac");
    ASSERT_TRUE(write_file(wav, wav_bytes(std::vector<StereoBlock>(4, {tone_block({{100, 0.5}}), silent_block()}))));
    ASSERT_EQ(system(("flac --silent --force -o '" + flac + "' '" + wav + "'").c_str()), 0);

    struct Case {
        std::vector<std::string> args;
        const char* format;
        bool ends_itself;
    };
    for (const Case& c : {Case{{"-device", "demo", "-resolution", "32"}, "format: signed 32 bits\n", false},
                          Case{{"-device", "demo", "-resolution", "32", "-diskfile", "-file", flac},
                               "format: signed 32 bits\n", true},
                          Case{{"-device", "demo", "-diskfile", "-file", flac}, "format: signed 16 bits\n", true}}) {
        SCOPED_TRACE(c.args.size());
        Program prog(server, c.args);
        ASSERT_TRUE(prog.started()) << prog.error();
        Windows win = open_windows(server.display());
        ASSERT_TRUE(win.ok()) << dump_tree(server.display(), server.root());
        ASSERT_TRUE(click_centre(server.display(), win.controls.analyser_run));
        ASSERT_TRUE(wait_until([&] { return prog.stderr_text().find(c.format) != std::string::npos; }))
            << prog.stderr_text();
        if (c.ends_itself)
            EXPECT_TRUE(wait_until([&] { return !is_set(server.display(), win.controls.analyser_run); }))
                << prog.stderr_text();
        else
            ASSERT_TRUE(click_centre(server.display(), win.controls.analyser_run));
        EXPECT_EQ(prog.stderr_text().find("error"), std::string::npos) << prog.stderr_text();
        EXPECT_EQ(prog.stderr_text().find("driver: demo\n"), 0u) << prog.stderr_text();
        EXPECT_TRUE(prog.running());
    }
}
