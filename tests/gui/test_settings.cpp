// The settings read at start-up: defaults, command-line options, resources
// and the application-defaults layer. The toolkit can be initialised only
// once per process, so every case runs initialize_settings in a forked
// child on a private display and reports app_resources back as text.
#include "gui/harness/GuiHarness.h"

#include "app/AppResources.h"
#include "app/Startup.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace harness;

namespace {

using Settings = std::map<std::string, std::string>;

std::string hex(uint32_t rgb)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06x", rgb);
    return buf;
}

std::string number(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// The full name of a loaded font, e.g. of the alias "fixed".
std::string font_name(Display* dpy, const XFontStruct* font)
{
    if (!font)
        return "(none)";
    unsigned long atom = 0;
    if (!XGetFontProperty(const_cast<XFontStruct*>(font), XA_FONT, &atom))
        return "(unnamed)";
    char* name = XGetAtomName(dpy, Atom(atom));
    std::string out = name ? name : "";
    if (name)
        XFree(name);
    return out;
}

// Runs initialize_settings with argv in a child and parses what it reports.
struct SettingsRun {
    ChildResult child;
    Settings settings;
};

SettingsRun read_settings(const XServer& server, const std::vector<std::string>& args,
                  const Env& env = {}, const std::string& argv0 = "zentaphon")
{
    SettingsRun run;
    run.child = run_forked(
        server,
        [&](std::string& out) {
            std::vector<std::string> strings{argv0};
            strings.insert(strings.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& s : strings)
                argv.push_back(s.data());
            argv.push_back(nullptr);
            int argc = int(strings.size());
            initialize_settings(argc, argv.data());
            Display* dpy = XtDisplay(toplevel);
            const AppResources& r = app_resources;
            std::ostringstream text;
            text << "samplerate=" << r.samplerate << "\n"
                 << "samplelength=" << r.samplelength << "\n"
                 << "sampleresolution=" << r.sampleresolution << "\n"
                 << "sampledevice=" << (r.sampledevice ? r.sampledevice : "(null)") << "\n"
                 << "dcadjust=" << int(r.dcadjust) << "\n"
                 << "source=" << (r.source ? r.source : "(null)") << "\n"
                 << "filename=" << (r.filename ? r.filename : "(null)") << "\n"
                 << "upperdb=" << number(r.upperdb) << "\n"
                 << "lowerdb=" << number(r.lowerdb) << "\n"
                 << "alpha=" << number(r.alpha) << "\n"
                 << "decay=" << number(r.decay) << "\n"
                 << "stereo=" << int(r.stereo) << "\n"
                 << "zoom=" << number(r.zoom) << "\n"
                 << "datacolor=" << hex(pixel_to_rgb(dpy, r.datacolor)) << "\n"
                 << "backgroundcolor=" << hex(pixel_to_rgb(dpy, r.backgroundcolor)) << "\n"
                 << "markercolor=" << hex(pixel_to_rgb(dpy, r.markercolor)) << "\n"
                 << "majorgridcolor=" << hex(pixel_to_rgb(dpy, r.majorgridcolor)) << "\n"
                 << "minorgridcolor=" << hex(pixel_to_rgb(dpy, r.minorgridcolor)) << "\n"
                 << "gridfont=" << font_name(dpy, r.gridfont) << "\n"
                 << "argc=" << argc << "\n";
            out = text.str();
        },
        env);
    std::istringstream in(run.child.output);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            run.settings[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return run;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.ok()) << server.error();
        Display* dpy = server.display();
        XFontStruct* fixed = XLoadQueryFont(dpy, "fixed");
        defaults = {
            {"samplerate", "44100"},
            {"samplelength", "2048"},
            {"sampleresolution", "16"},
            {"sampledevice", "default"},
            {"dcadjust", "1"},
            {"source", "Soundcard"},
            {"filename", "test.wav"},
            {"upperdb", "10"},
            {"lowerdb", "-100"},
            {"alpha", "20"},
            {"decay", "48"},
            {"stereo", "1"},
            {"zoom", "6"},
            {"datacolor", hex(colour(dpy, "firebrick1"))},
            {"backgroundcolor", hex(colour(dpy, "gray20"))},
            {"markercolor", hex(colour(dpy, "yellow"))},
            {"majorgridcolor", hex(colour(dpy, "gray60"))},
            {"minorgridcolor", hex(colour(dpy, "gray40"))},
            {"gridfont", font_name(dpy, fixed)},
            {"argc", "1"},
        };
        if (fixed)
            XFreeFont(dpy, fixed);
    }

    // The defaults with some settings changed.
    Settings with(const Settings& changes) const
    {
        Settings s = defaults;
        for (const auto& [k, v] : changes)
            s[k] = v;
        return s;
    }

    // Every setting is what `expected` says, none more, none less.
    static void expect_settings(const SettingsRun& run, const Settings& expected)
    {
        ASSERT_EQ(run.child.exit_status, 0)
            << "signal " << run.child.term_signal << "; stderr:\n" << run.child.err;
        for (const auto& [k, v] : expected) {
            auto it = run.settings.find(k);
            ASSERT_NE(it, run.settings.end()) << k;
            EXPECT_EQ(it->second, v) << "setting " << k;
        }
        EXPECT_EQ(run.settings.size(), expected.size());
    }

    XServer server;
    Settings defaults;
};

} // namespace

TEST_F(SettingsTest, DefaultsWithTheFallbackResources)
{
    SettingsRun run = read_settings(server, {});
    expect_settings(run, defaults);
    EXPECT_EQ(run.child.err, "");
    // The fallback file name differs from the table's.
    EXPECT_EQ(run.settings["filename"], "test.wav");
}

TEST_F(SettingsTest, OptionsSetExactlyTheirSettings)
{
    SettingsRun run = read_settings(server, {"-rate", "22050", "-length", "1024", "-resolution", "32",
                                     "-device", "/dev/dsp1", "-filename", "song.cdr",
                                     "-dcadjust", "False", "-diskfile", "-mono"});
    expect_settings(run, with({{"samplerate", "22050"},
                               {"samplelength", "1024"},
                               {"sampleresolution", "32"},
                               {"sampledevice", "/dev/dsp1"},
                               {"filename", "song.cdr"},
                               {"dcadjust", "0"},
                               {"source", "Diskfile"},
                               {"stereo", "0"}}));
    EXPECT_EQ(run.child.err, "");
}

TEST_F(SettingsTest, EachOptionAlone)
{
    const std::vector<std::pair<std::vector<std::string>, Settings>> cases = {
        {{"-rate", "8000"}, {{"samplerate", "8000"}}},
        {{"-length", "4096"}, {{"samplelength", "4096"}}},
        {{"-resolution", "8"}, {{"sampleresolution", "8"}}},
        {{"-device", "/dev/dsp"}, {{"sampledevice", "/dev/dsp"}}},
        {{"-mono"}, {{"stereo", "0"}}},
        {{"-stereo"}, {}},
        {{"-soundcard"}, {}},
        {{"-diskfile"}, {{"source", "Diskfile"}}},
        {{"-filename", "a b.wav"}, {{"filename", "a b.wav"}}},
        {{"-dcadjust", "off"}, {{"dcadjust", "0"}}},
        {{"-dcadjust", "yes"}, {}},
        // Any unambiguous prefix of an option will do.
        {{"-file", "x"}, {{"filename", "x"}}},
        {{"-fi", "y.cdr"}, {{"filename", "y.cdr"}}},
        {{"-len", "512"}, {{"samplelength", "512"}}},
        {{"-mon"}, {{"stereo", "0"}}},
        {{"-disk"}, {{"source", "Diskfile"}}},
    };
    for (const auto& [args, changes] : cases) {
        SCOPED_TRACE("arguments: " + ::testing::PrintToString(args));
        SettingsRun run = read_settings(server, args);
        expect_settings(run, with(changes));
        EXPECT_EQ(run.child.err, "");
    }
}

TEST_F(SettingsTest, TheLastOfTwoOpposedOptionsWins)
{
    expect_settings(read_settings(server, {"-mono", "-stereo"}), defaults);
    expect_settings(read_settings(server, {"-stereo", "-mono"}), with({{"stereo", "0"}}));
    expect_settings(read_settings(server, {"-diskfile", "-soundcard"}), defaults);
    expect_settings(read_settings(server, {"-soundcard", "-diskfile"}),
                    with({{"source", "Diskfile"}}));
    expect_settings(read_settings(server, {"-rate", "1000", "-rate", "2000"}),
                    with({{"samplerate", "2000"}}));
}

TEST_F(SettingsTest, ResourcesOnTheCommandLine)
{
    // No options of their own: the toolkit's -xrm sets them, under the
    // program's name or its class.
    SettingsRun run = read_settings(server, {"-xrm", "zentaphon.alpha: 12.5", "-xrm",
                                     "Zentaphon*decay: 30", "-xrm", "zentaphon.zoom: 3.5"});
    expect_settings(run, with({{"alpha", "12.5"}, {"decay", "30"}, {"zoom", "3.5"}}));

    run = read_settings(server, {"-xrm", "zentaphon.upperdb: 0", "-xrm", "zentaphon.lowerdb: -60",
                                 "-xrm", "zentaphon.datacolor: green", "-xrm",
                                 "zentaphon.source: SOUNDCARD", "-xrm", "zentaphon.stereo: off"});
    expect_settings(run, with({{"upperdb", "0"},
                               {"lowerdb", "-60"},
                               {"datacolor", hex(colour(server.display(), "green"))},
                               {"source", "SOUNDCARD"},
                               {"stereo", "0"}}));
}

TEST_F(SettingsTest, AnEmptyOrInvertedDbRangeIsReportedAndReplaced)
{
    // The analyser maps upperdb to its top row and lowerdb to its bottom
    // one; without a range between them there is no such map.
    const std::vector<std::pair<std::string, std::string>> ranges = {
        {"-120", "-100"}, {"-100", "-100"}, {"5", "20"}};
    for (const auto& [upper, lower] : ranges) {
        SCOPED_TRACE("upperdb " + upper + ", lowerdb " + lower);
        SettingsRun run = read_settings(server, {"-xrm", "zentaphon.upperdb: " + upper, "-xrm",
                                                 "zentaphon.lowerdb: " + lower});
        expect_settings(run, defaults);
        EXPECT_EQ(run.child.err.rfind("error: upperdb ", 0), 0u) << run.child.err;
        EXPECT_NE(run.child.err.find("using +10 and -100"), std::string::npos) << run.child.err;
        EXPECT_EQ(std::count(run.child.err.begin(), run.child.err.end(), '\n'), 1) << run.child.err;
    }
    // A range of a fraction of a dB is still a range.
    SettingsRun run = read_settings(server, {"-xrm", "zentaphon.upperdb: -99.5"});
    expect_settings(run, with({{"upperdb", "-99.5"}}));
    EXPECT_EQ(run.child.err, "");
}

TEST_F(SettingsTest, OptionsWorkUnderAnyProgramName)
{
    // The options name the resources under the program's own name, which
    // is the last part of argv[0].
    SettingsRun run = read_settings(server, {"-rate", "11025", "-diskfile"}, {}, "/opt/bin/zen-other");
    expect_settings(run, with({{"samplerate", "11025"}, {"source", "Diskfile"}}));
}

TEST_F(SettingsTest, UnconvertibleValuesWarnAndTakeTheDefault)
{
    // A number that is no number: one line of the program's own each, the
    // toolkit's warning held back.
    SettingsRun run = read_settings(server, {"-rate", "abc"});
    expect_settings(run, defaults);
    EXPECT_EQ(run.child.err, "error: resource samplerate: \"abc\" is not a number, using 44100\n");

    run = read_settings(server, {"-dcadjust", "maybe", "-length", "2k"});
    expect_settings(run, defaults);
    EXPECT_NE(run.child.err.find("\"maybe\" to type Boolean"), std::string::npos) << run.child.err;
    EXPECT_NE(run.child.err.find("error: resource samplelength: \"2k\" is not a number, using 2048\n"),
              std::string::npos) << run.child.err;

    run = read_settings(server, {"-xrm", "zentaphon.alpha: wide", "-xrm",
                                 "zentaphon.markercolor: nocolour", "-xrm", "zentaphon.upperdb: nan"});
    expect_settings(run, defaults);
    EXPECT_NE(run.child.err.find("error: resource alpha: \"wide\" is not a number, using 20\n"),
              std::string::npos) << run.child.err;
    EXPECT_NE(run.child.err.find("error: resource upperdb: \"nan\" is not a number, using 10\n"),
              std::string::npos) << run.child.err;
    EXPECT_NE(run.child.err.find("nocolour"), std::string::npos) << run.child.err;

    // An empty value is no number either.
    run = read_settings(server, {"-xrm", "Zentaphon.Decay: ", "-xrm", "Zentaphon.LowerDB:",
                                 "-resolution", " "});
    expect_settings(run, defaults);
    EXPECT_EQ(run.child.err, "error: resource sampleresolution: \" \" is not a number, using 16\n"
                             "error: resource lowerdb: \"\" is not a number, using -100\n"
                             "error: resource decay: \"\" is not a number, using 48\n");
}

TEST_F(SettingsTest, AnApplicationDefaultsFileReplacesTheFallbacks)
{
    TempDir dir;
    // A file for the class that leaves the file name alone: the table's
    // default applies, not the fallback one.
    ASSERT_TRUE(dir.write("Zentaphon", "Zentaphon.Alpha:\t33.0\n"));
    SettingsRun run = read_settings(server, {}, {{"XFILESEARCHPATH", dir.path() + "/%N"}});
    expect_settings(run, with({{"filename", "test.cdr"}, {"alpha", "33"}}));
    EXPECT_EQ(run.child.err, "");

    // An empty one does the same.
    ASSERT_TRUE(dir.write("Zentaphon", ""));
    run = read_settings(server, {}, {{"XFILESEARCHPATH", dir.path() + "/%N"}});
    expect_settings(run, with({{"filename", "test.cdr"}}));

    // The command line still beats it.
    ASSERT_TRUE(dir.write("Zentaphon", "Zentaphon.Filename: fromfile.wav\nZentaphon.SampleRate: 1\n"));
    run = read_settings(server, {"-file", "cmdline.wav"},
                        {{"XFILESEARCHPATH", dir.path() + "/%N"}});
    expect_settings(run, with({{"filename", "cmdline.wav"}, {"samplerate", "1"}}));
}

TEST_F(SettingsTest, UserResourcesSitAboveTheFallbacks)
{
    // A user's resource file is no application-defaults file: the
    // fallbacks stay, the user's lines win over them, options over both.
    TempDir dir;
    ASSERT_TRUE(dir.write("Zentaphon", "Zentaphon*decay: 60\nzentaphon.samplerate: 8000\n"));
    SettingsRun run = read_settings(server, {}, {{"XAPPLRESDIR", dir.path()}});
    expect_settings(run, with({{"decay", "60"}, {"samplerate", "8000"}}));

    ASSERT_TRUE(dir.write("env", "zentaphon.zoom: 12\nzentaphon.samplerate: 8000\n"));
    run = read_settings(server, {"-rate", "16000"}, {{"XENVIRONMENT", dir.file("env")}});
    expect_settings(run, with({{"zoom", "12"}, {"samplerate", "16000"}}));
}

TEST_F(SettingsTest, StrayArgumentsEndWithTheUsageLine)
{
    SettingsRun run = read_settings(server, {"-rate", "100", "stray"}, {}, "zen");
    EXPECT_EQ(run.child.exit_status, 1);
    EXPECT_EQ(run.child.output, "");
    EXPECT_EQ(run.child.err,
              "usage: zen [-rate rate] [-length length] [-resolution resolution] [-device "
              "device] [-dcadjust bool] [-soundcard] [-diskfile] [-file file]\n");
}
