// The installed program: `cmake --install` into a scratch DESTDIR, the files
// checked with the tools their users have, and the installed binary run on a
// private display beside the one in the build tree.
#include "gui/harness/GuiHarness.h"
#include "gui/test_control.h"

#include "app/AppResources.h"
#include "app/Icons.h"

#include <X11/xpm.h>

#include <cstdio>
#include <string>
#include <unistd.h>

using namespace harness;
using control_test::Zentaphon;

namespace {

struct Command {
    int status = -1;
    std::string output;  // standard output and error together
};

Command run(const std::string& command)
{
    Command c;
    FILE* p = popen(("{ " + command + "; } 2>&1").c_str(), "r");
    if (!p)
        return c;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        c.output.append(buf, n);
    const int status = pclose(p);
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return c;
}

// An XPM picture in the server's colours: libXpm parses it, XParseColor
// gives 16-bit components whose high bytes count. Frees the XpmImage.
Image to_rgb(Display* dpy, int parsed, XpmImage& xpm)
{
    if (parsed != XpmSuccess)
        return Image();
    std::vector<uint32_t> table;
    for (unsigned i = 0; i < xpm.ncolors; ++i) {
        XColor c{};
        XParseColor(dpy, DefaultColormap(dpy, 0), xpm.colorTable[i].c_color, &c);
        table.push_back(uint32_t(c.red >> 8) << 16 | uint32_t(c.green >> 8) << 8 | (c.blue >> 8));
    }
    Image img(int(xpm.width), int(xpm.height));
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.set(x, y, table.at(xpm.data[size_t(y) * xpm.width + x]));
    XpmFreeXpmImage(&xpm);
    return img;
}

// One installation for all the cases.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new TempDir;
        install_ = run("DESTDIR=" + root_->path() + " '" ZEN_CMAKE "' --install '" ZEN_BUILD_DIR
                       "' --prefix /usr");
    }
    static void TearDownTestSuite() { delete root_; }
    void SetUp() override
    {
        ASSERT_EQ(install_.status, 0) << install_.output;
        ASSERT_TRUE(server.ok()) << server.error();
    }

    static std::string file(const std::string& p) { return root_->path() + p; }
    // The system's search path for application defaults, below DESTDIR.
    static std::string search_path() { return file("/etc/X11/%T/%N"); }

    static TempDir* root_;
    static Command install_;
    XServer server;
};

TempDir* Installed::root_ = nullptr;
Command Installed::install_;

TEST_F(Installed, FilesAreWhereXToolsKeepThemAndPassTheirCheckers)
{
    for (const char* p : {"/usr/bin/zentaphon", "/usr/share/doc/zentaphon/README.md",
                          "/usr/share/doc/zentaphon/LICENSE"})
        EXPECT_EQ(access(file(p).c_str(), F_OK), 0) << p;
    // The simulated device is a tool of the tests, not of the users: neither
    // it nor its README is installed.
    EXPECT_EQ(run("find '" + root_->path() + "' -name '*simdsp*'").output, "");

    // The application-defaults file holds exactly the fallback lines, and
    // appres, reading the class's resources as any Xt program does, finds it.
    std::vector<std::string> lines;
    for (const auto& l : control_test::read_lines(file("/etc/X11/app-defaults/Zentaphon")))
        if (l.empty() || l[0] != '!')
            lines.push_back(l);
    EXPECT_EQ(lines, std::vector<std::string>(fallback_resources,
                                              fallback_resources + fallback_count));
    const Command appres = run("DISPLAY=" + server.name() + " XFILESEARCHPATH='" +
                               search_path() + "' appres Zentaphon");
    EXPECT_NE(appres.output.find("Zentaphon*Scope_popup.title:\tZentaphon: XY Scope\n"),
              std::string::npos)
        << appres.output;

    const std::string man = file("/usr/share/man/man1/zentaphon.1.gz");
    EXPECT_EQ(run("mandoc -T lint '" + man + "'").output, "");
    EXPECT_EQ(run("MANWIDTH=80 man --warnings -l '" + man + "' 2>&1 >/dev/null").output, "");
    const std::string text = run("MANWIDTH=80 man -l '" + man + "'").output;
    for (const char* section : {"\nSYNOPSIS\n", "\nOPTIONS\n", "\nRESOURCES\n", "\nFILES\n",
                                "\nENVIRONMENT\n", "\nEXAMPLES\n", "\nDIAGNOSTICS\n"})
        EXPECT_NE(text.find(section), std::string::npos) << section;
    for (const XtResource& r : std::vector<XtResource>(app_resource_table,
                                                       app_resource_table + app_resource_count))
        EXPECT_NE(text.find(std::string(r.resource_name) + " (" + r.resource_class + ", "),
                  std::string::npos)
            << r.resource_name;
    for (int i = 0; i < option_count; ++i)
        EXPECT_NE(text.find(std::string("\n       ") + option_table[i].option), std::string::npos)
            << option_table[i].option;

    const Command desktop =
        run("desktop-file-validate '" + file("/usr/share/applications/zentaphon.desktop") + "'");
    EXPECT_EQ(desktop.status, 0);
    EXPECT_EQ(desktop.output, "");
}

TEST_F(Installed, IconsAreTheProgramsOwn)
{
    Display* dpy = server.display();
    const std::string dir = file("/usr/share/icons/hicolor/48x48/apps/");
    for (const auto& [data, name] :
         {std::pair{spectrum_icon, "zentaphon"}, std::pair{scope_icon, "zentaphon-scope"}}) {
        XpmImage a, b;
        const Image own =
            to_rgb(dpy, XpmCreateXpmImageFromData(const_cast<char**>(data), &a, nullptr), a);
        ASSERT_EQ(own.width(), 48) << name;
        ASSERT_EQ(own.height(), 48) << name;
        EXPECT_TRUE(Image::load_png(dir + name + ".png") == own) << name;
        const std::string xpm = dir + name + ".xpm";
        EXPECT_TRUE(to_rgb(dpy, XpmReadFileToXpmImage(xpm.data(), &b, nullptr), b) == own) << name;
    }
}

// The control window at rest, and what standard error says after the
// analyser's Run in disk-file mode (the default file does not exist).
std::pair<Image, std::string> run_diskfile(const std::string& binary, const Env& extra)
{
    XServer server;
    Display* dpy = server.display();
    Env env = {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_PACE", "fast"}};
    env.insert(env.end(), extra.begin(), extra.end());
    Zentaphon z(server, {"-diskfile"}, env, Launch{binary, "zentaphon", ""});
    SaveOnFailure evidence(server, binary == ZEN_BINARY ? "built" : "installed");
    evidence.add("stderr", z.prog());
    if (!z.open()) {
        ADD_FAILURE() << binary << ": " << z.prog().describe() << "\n" << z.prog().stderr_text();
        return {};
    }
    const Image control = control_test::settled_face(dpy, z.control);
    const Window run_toggle = z.widget(control_path::analyser_run);
    EXPECT_TRUE(click_centre(dpy, run_toggle));
    EXPECT_TRUE(z.prog().wait_stderr("error: ")) << z.prog().stderr_text();
    EXPECT_TRUE(wait_until([&] { return !control_test::is_set(dpy, run_toggle); }));
    return {control, z.prog().stderr_text()};
}

TEST_F(Installed, ProgramLooksAndBehavesAsTheBuiltOne)
{
    const auto [built_control, built_err] = run_diskfile(ZEN_BINARY, {});
    const auto [control, err] =
        run_diskfile(file("/usr/bin/zentaphon"), {{"XFILESEARCHPATH", search_path()}});
    ASSERT_FALSE(built_control.empty());
    EXPECT_TRUE(control == built_control);
    // The same default file name: the start fails on the same missing file.
    EXPECT_NE(built_err.find("error: Can't open test.wav: No such file or directory\n"),
              std::string::npos)
        << built_err;
    EXPECT_EQ(err, built_err);
}

}  // namespace
