// The fixture of the analyser's window tests: the program on the simulated
// device, by default in disk-file mode at full speed on the WAV file a test
// writes to file(), its standard error kept with the pictures of a failure.
#pragma once

#include "gui/test_analyser_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace analyser_test {

class ProgramOnFile : public testing::Test {
protected:
    XServer server;
    Display* dpy = server.display();
    TempDir dir, out;   // out: for exports; both outlive the program
    DeviceLog log{dir.file("dsp.log")};
    std::unique_ptr<Program> prog;
    std::unique_ptr<SaveOnFailure> evidence;
    Windows win;

    std::string file() const { return dir.file("signal.wav"); }

    // Starts the program with args (after the disk-file options unless
    // disk_file is false) and env over the device's own settings, and finds
    // its windows; tag names the saved evidence.
    void launch(std::vector<std::string> args, const Env& env = {}, const std::string& tag = "",
                bool disk_file = true)
    {
        ASSERT_TRUE(server.ok()) << server.error();
        if (disk_file)
            args.insert(args.begin(), {"-diskfile", "-filename", file()});
        Env all{{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_PACE", "fast"}, {"SIMDSP_LOG", log.path}};
        all.insert(all.end(), env.begin(), env.end());
        prog = std::make_unique<Program>(server, args, all);
        ASSERT_TRUE(prog->started()) << prog->error();
        evidence = std::make_unique<SaveOnFailure>(server, tag);
        evidence->add("stderr", *prog);
        win = open_windows(dpy);
        ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    }
    // Runs the analyser through the whole file.
    void play_file()
    {
        const int closes = log.closes() + 1;
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        ASSERT_TRUE(wait_run_over(dpy, log, closes, win.controls.analyser_run)) << log.text();
    }
};

}  // namespace analyser_test
