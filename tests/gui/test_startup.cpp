// Start-up of the zentaphon program: the usage line for arguments it does
// not know, the three windows it opens, the source toggle its settings
// select, and ending through the control window's close button.
#include "gui/harness/GuiHarness.h"

#include <memory>
#include <string>
#include <vector>

using namespace harness;

namespace {

std::string usage_line(const std::string& argv0)
{
    return "usage: " + argv0 +
           " [-rate rate] [-length length] [-resolution resolution] [-device device]"
           " [-dcadjust bool] [-soundcard] [-diskfile] [-file file]\n";
}

// Waits until start-up has shown all three windows, then raises the control
// window above the dialogs that start out over it. Returns the control
// window, 0 if a window did not come.
Window wait_started(Display* dpy)
{
    const MainWindows w = wait_for_main_windows(dpy);
    if (!w.ok() || !raise_window(dpy, w.control))
        return 0;
    return w.control;
}

} // namespace

TEST(StartupUsage, RejectsArgumentsItDoesNotKnow)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    const std::vector<std::vector<std::string>> cases = {
        {"stray"},                 // a plain word
        {"-bogus"},                // a dash-word in no option table
        {"-rate"},                 // an option that needs a value, last
        {"-d", "x"},               // -device, -dcadjust, -diskfile, -display
        {"-rate", "8000", "word"}, // a word left after good options
        {"-mono", "-stereo", "--"},
    };
    // All of them at once; each has to end by itself.
    std::vector<std::unique_ptr<Program>> programs;
    for (const auto& args : cases)
        programs.push_back(std::make_unique<Program>(server, args));
    for (size_t i = 0; i < cases.size(); ++i) {
        Program& p = *programs[i];
        SCOPED_TRACE("arguments: " + ::testing::PrintToString(cases[i]));
        ASSERT_TRUE(p.started()) << p.error();
        ASSERT_TRUE(p.wait_exit()) << p.describe();
        EXPECT_EQ(p.exit_status(), 1) << p.describe();
        EXPECT_EQ(p.stderr_text(), usage_line(p.argv0()));
        EXPECT_EQ(p.stdout_text(), "");
    }
    EXPECT_EQ(find_top_level(server.display(), control_title), 0u);
}

TEST(StartupUsage, NamesTheProgramAsItWasCalled)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    for (const std::string name : {"zentaphon", "/opt/audio/bin/zen", "./a b"}) {
        Program p(server, {"extra"}, {}, Launch{"", name, ""});
        ASSERT_TRUE(p.started()) << p.error();
        ASSERT_TRUE(p.wait_exit()) << p.describe();
        EXPECT_EQ(p.exit_status(), 1);
        EXPECT_EQ(p.stderr_text(), usage_line(name));
    }
}

TEST(StartupUsage, DoesNotRejectWhatTheToolkitTakes)
{
    // Options of the program and of the toolkit, and unambiguous prefixes:
    // the program starts and shows its window.
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    const std::vector<std::vector<std::string>> cases = {
        {"-file", "song.wav", "-len", "1024", "-mono"},
        {"-geometry", "+40+50", "-xrm", "zentaphon.alpha: 10", "-stereo", "-soundcard"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE("arguments: " + ::testing::PrintToString(args));
        Program p(server, args);
        ASSERT_TRUE(p.started()) << p.error();
        SaveOnFailure evidence(server);
        evidence.add("stderr", p);
        Window control = wait_for_window(dpy, control_title);
        ASSERT_NE(control, 0u) << p.describe() << "\n" << p.stderr_text();
        EXPECT_TRUE(p.running());
        ASSERT_TRUE(send_delete_window(dpy, control));
        ASSERT_TRUE(p.wait_exit()) << p.describe();
        EXPECT_EQ(p.exit_status(), 0);
        EXPECT_EQ(p.stderr_text(), "");
        EXPECT_TRUE(wait_for_window_gone(dpy, control_title));
    }
}

TEST(StartupWindows, OpensItsWindowsAndRunsUntilClosed)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program p(server, {});
    ASSERT_TRUE(p.started()) << p.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", p);

    Window control = wait_started(dpy);
    ASSERT_NE(control, 0u) << p.describe() << "\n" << p.stderr_text();
    Window analyser = find_top_level(dpy, analyser_title);
    ASSERT_NE(analyser, 0u);
    // The help window is made only when it is asked for.
    EXPECT_EQ(find_top_level(dpy, "Zentaphon: Help"), 0u);
    EXPECT_TRUE(p.running()) << p.describe();

    // With the default source the "Soundcard" toggle is set: its indicator
    // shows the select colour. Nothing runs, so the "Diskfile" one is not.
    const uint32_t select = colour(dpy, "red");
    Window soundcard = child_by_path(dpy, control, control_path::soundcard);
    Window diskfile = child_by_path(dpy, control, control_path::diskfile);
    ASSERT_NE(soundcard, 0u) << dump_tree(dpy, control);
    ASSERT_NE(diskfile, 0u) << dump_tree(dpy, control);
    EXPECT_TRUE(wait_until([&] { return shows_colour(dpy, soundcard, select); }));
    EXPECT_FALSE(shows_colour(dpy, diskfile, select));

    // Closing a view window leaves the program running; closing the
    // control window ends it.
    ASSERT_TRUE(send_delete_window(dpy, analyser));
    EXPECT_TRUE(wait_for_window_gone(dpy, analyser_title));
    EXPECT_TRUE(p.running()) << p.describe();
    ASSERT_TRUE(send_delete_window(dpy, control));
    ASSERT_TRUE(p.wait_exit()) << p.describe();
    EXPECT_EQ(p.exit_status(), 0) << p.describe();
    EXPECT_EQ(p.stderr_text(), "");
    EXPECT_EQ(p.stdout_text(), "");
    EXPECT_TRUE(wait_for_window_gone(dpy, control_title));
    EXPECT_TRUE(wait_for_window_gone(dpy, scope_title));
}

TEST(StartupWindows, SelectsTheSourceToggleFromTheSetting)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    const uint32_t select = colour(dpy, "red");
    struct Case {
        std::vector<std::string> args;
        bool soundcard;
    };
    // "Soundcard" in any case selects the sound card; every other text,
    // the empty one too, selects the disk file.
    const std::vector<Case> cases = {
        {{"-diskfile"}, false},
        {{"-diskfile", "-soundcard"}, true},
        {{"-xrm", "zentaphon.source: sOUNDCARD"}, true},
        {{"-xrm", "zentaphon.source: soundcard"}, true},
        {{"-xrm", "zentaphon.source: Soundcards"}, false},
        {{"-xrm", "zentaphon.source: Sound"}, false},
        {{"-xrm", "zentaphon.source:"}, false},
        {{"-xrm", "zentaphon.source: Diskfile"}, false},
        {{"-xrm", "zentaphon.source: sound card"}, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("arguments: " + ::testing::PrintToString(c.args));
        Program p(server, c.args);
        ASSERT_TRUE(p.started()) << p.error();
        SaveOnFailure evidence(server, std::to_string(i));
        evidence.add("stderr", p);
        Window control = wait_started(dpy);
        ASSERT_NE(control, 0u) << p.describe() << "\n" << p.stderr_text();
        Window set = child_by_path(dpy, control, c.soundcard ? control_path::soundcard : control_path::diskfile);
        Window unset = child_by_path(dpy, control, c.soundcard ? control_path::diskfile : control_path::soundcard);
        ASSERT_NE(set, 0u);
        ASSERT_NE(unset, 0u);
        EXPECT_TRUE(wait_until([&] { return shows_colour(dpy, set, select); }));
        EXPECT_FALSE(shows_colour(dpy, unset, select));
        ASSERT_TRUE(send_delete_window(dpy, control));
        ASSERT_TRUE(p.wait_exit()) << p.describe();
        EXPECT_EQ(p.exit_status(), 0);
        ASSERT_TRUE(wait_for_window_gone(dpy, control_title));
    }
}
