// GUI test harness: drives the real zentaphon program on a private Xvfb
// server and looks at what it puts on the screen.
//
// Everything lives in namespace harness. Timeouts are in seconds; helpers
// that wait poll a condition until it holds or the timeout runs out, so a
// slow machine only makes a test slower, never makes it fail.
//
// Private X server
//   XServer server;                      // starts Xvfb -displayfd N -screen 0
//   ASSERT_TRUE(server.ok()) << server.error();   //   1600x1200x24 -nolisten tcp
//   server.name()      ":N", the display the server picked for itself
//   server.display()   the test's own connection to it (never the user's
//                      DISPLAY); X errors on it are recorded, not fatal
//   server.root()      its root window
//   server.log()       what Xvfb wrote on its standard error
//   The destructor closes the connection and terminates Xvfb. One server
//   per test or per fixture; two test programs may run side by side.
//
// The program under test
//   Program prog(server, {"-diskfile"},
//                {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_LOG", log_path}});
//   ASSERT_TRUE(prog.started()) << prog.error();
//   Starts ZEN_BINARY with the arguments in a fresh working directory
//   (prog.dir(), removed with the Program) and an environment made from the
//   test's own: DISPLAY = server.name(), HOME = prog.dir(), and XENVIRONMENT,
//   XAPPLRESDIR, XUSERFILESEARCHPATH unset and XFILESEARCHPATH pointing into
//   prog.dir() (so no installed application-defaults file or user resource
//   file can change the settings: the fallback resources apply). The Env
//   pairs are applied last and override any of these. Launch{} optionally
//   names another binary, another argv[0] or another working directory.
//   Standard input is /dev/null; standard output and error go to files.
//     prog.pid()              process id
//     prog.running()          still alive (reaps it if it has ended)
//     prog.wait_exit(t)       true once it has ended, false after t seconds
//     prog.exited()           it ended through exit(); prog.exit_status()
//                             is then its status, otherwise -1
//     prog.signalled()        it was killed by prog.term_signal()
//     prog.describe()         "running", "exit status 1", "killed by signal 9"
//     prog.stderr_text(), prog.stdout_text()   everything written so far
//     prog.wait_stderr(s, t)  waits until standard error contains s
//     prog.kill(sig)          sends sig (default SIGKILL) and reaps it
//   The destructor kills a program that is still running.
//
// In-process runs (for code of zentaphon_core that may run once a process)
//   ChildResult r = run_forked(server, [&](std::string& out) { ... }, env);
//   Forks; the child gets the same environment as a Program (plus env) and a
//   private working directory, its standard error goes to a file, then the
//   body runs and appends whatever it likes to out; out is handed back
//   through a pipe and the child ends with _exit(0). A body that calls
//   exit() itself ends the child with that status and no output. gtest
//   assertions in the body would be lost with the child: report through
//   out and assert in the parent.
//   r.exit_status (-1 unless it exited), r.term_signal, r.output, r.err
//   (the child's standard error), r.timed_out (the child ran past the
//   timeout and was killed).
//
// Windows
//   window_name(dpy, w)              WM_NAME or ""
//   top_levels(dpy)                  children of the root, bottom to top
//   find_top_level(dpy, title)       a viewable top-level with that WM_NAME
//   wait_for_window(dpy, title, t)   the same, waiting; 0 on timeout
//   wait_for_window_gone(dpy, title, t)   none viewable any more
//   is_viewable(dpy, w), wait_viewable(dpy, w, t), wait_unviewable(...)
//   children(dpy, w)                 children as XQueryTree gives them:
//                                    bottom to top in stacking order
//   widget_children(dpy, w)          children top to bottom. Xt realizes a
//                                    composite's children last to first,
//                                    and a new window goes on top of its
//                                    siblings, so for widgets realized
//                                    together (a shell and everything in
//                                    it) this is their creation order
//   child_by_path(dpy, w, {0, 2, 1}) the window reached by indices into
//                                    widget_children at each level (a
//                                    negative index counts from the end,
//                                    -1 is the last); 0 if missing. For
//                                    the control window, from its shell:
//                                    {0} MainWindow, {0, 0} "Control",
//                                    {0, 0, 0} "Frame1", {0, 0, 0, 0}
//                                    "Form1", {0, 0, 0, 0, 1, 0} "Soundcard"
//   window_info(dpy, w)              WindowInfo: geometry relative to the
//                                    parent and to the root, border, map
//                                    state, WM_NAME, path from the start
//   list_tree(dpy, w)                every WindowInfo below w, pre-order,
//                                    w itself first with an empty path;
//                                    paths as child_by_path takes them
//   dump_tree(dpy, w)                the same as indented text, for
//                                    finding paths while writing a test
//   find_descendant(dpy, w, pred)    first window whose WindowInfo meets
//                                    pred (pre-order), 0 if none;
//                                    find_descendants gives all of them
//   wait_until(cond, t)              polls cond() until true or timeout
//   Widget windows under Xvfb: there is no window manager, so a shell's
//   window is a child of the root. Dialog shells are top-levels of their own.
//
// Zentaphon's own windows
//   control_title, analyser_title, scope_title   their WM_NAMEs
//   MainWindows w = wait_for_main_windows(dpy);   waits for the control,
//                                    analyser and scope windows (shells),
//                                    in that order; it stops at the first
//                                    that does not come, which stays 0 with
//                                    the ones after it. w.ok(): all three
//   control_path::soundcard, ::diskfile, ::analyser_run, ::alpha, ::decay,
//   ::peak_search, ::scope_run, ::zoom, ::help, ::quit
//                                    child_by_path paths from the control
//                                    window's shell: MainWindow, "Control",
//                                    the frame, its form, then the widget
//                                    in it (for a scale its scroll bar)
//
// Pointer and keyboard (XTEST; every helper syncs and returns false when
// the window is gone or XTEST is missing). Coordinates are the window's own.
//   move_pointer(dpy, w, x, y), press(dpy, w, x, y, button = 1),
//   release(dpy, w, x, y, button = 1), click(dpy, w, x, y, button = 1),
//   click_centre(dpy, w), drag(dpy, w, x0, y0, x1, y1, steps = 10, button = 1)
//   (press, `steps` motions, release), key(dpy, keysym).
//
// Acting as the window manager
//   send_delete_window(dpy, shell)   WM_PROTOCOLS ClientMessage with
//                                    WM_DELETE_WINDOW, as a WM sends it
//   iconify(dpy, top), deiconify(dpy, top)   unmap / map the top-level and
//                                    set WM_STATE to Iconic / Normal
//   top_level_of(dpy, w)             the child of the root that holds w
//   raise_window(dpy, w)             raises the top-level holding w
//   move_window(dpy, w, x, y)        moves the top-level holding w
//   Without a window manager nothing places the dialogs: at start-up the
//   analyser dialog (1025x500 at 0,0) lies over the whole control window and
//   the scope dialog over part of the analyser, and a dialog managed again
//   is centred over the control window. Pointer events go to whatever is on
//   top and XGetImage of a covered part gives the covering window's pixels,
//   so raise (or move) a window before clicking in it or reading it.
//   place_window(dpy, w, x, y)       moves the top-level holding w and
//                                    waits until it stands at x, y
//                                    (relative to the root); false if it
//                                    is gone or never gets there
//   Cover cover(dpy, w, margin = 0)  maps an override-redirect window over
//                                    w and its border (plus margin) so w
//                                    becomes fully obscured; cover.remove()
//                                    or the destructor takes it away again
//
// Pixels
//   Image img = capture(dpy, w);     XGetImage of the whole window; empty()
//                                    when it cannot be read (not viewable)
//   capture(dpy, w, Rect{x, y, w, h})   a part of it
//   img.at(x, y) -> 0xRRGGBB, img.width(), img.height()
//   img.count(rgb), img.count(rgb, rect), img.count_other(rgb, rect),
//   img.contains(rgb), img.histogram(rect), img.crop(rect),
//   img.save_png(path), Image::load_png(path)
//   a == b, a != b                   same size and every pixel the same
//                                    (two empty images are equal)
//   colour(dpy, "firebrick1")        the server's 0xRRGGBB for a colour name
//                                    (as allocated in the default colormap),
//                                    no_colour when the name is unknown
//   pixel_to_rgb(dpy, pixel)         a pixel value of the default visual as
//                                    0xRRGGBB
//   shows_colour(dpy, w, rgb)        the window shows at least one pixel of
//                                    rgb: a set toggle indicator shows its
//                                    selectColor ("red" in the fallbacks)
//
// Evidence when a test fails
//   SaveOnFailure evidence(server);  declare it after the XServer and the
//   evidence.add("stderr", prog);    Programs it refers to. At the first
//   evidence.add("spectrum", img);   failed assertion while it exists it
//                                    saves the whole screen (PNG) and a tree
//                                    dump of every viewable top-level; when
//                                    it goes out of scope in a failed test
//                                    it saves the added images (PNG) and
//                                    the added programs' standard error.
//                                    Files go into failure_dir():
//                                    $ZEN_FAILURE_DIR, or the working
//                                    directory (ctest's: the build tree),
//                                    named <Suite>.<Test>-<label>.<ext>
//                                    (SaveOnFailure(server, "3") makes it
//                                    <Suite>.<Test>.3-<label>.<ext>).
//   save_failure_image(img, label)   writes one image that way right now
//
// Scratch files
//   TempDir dir; dir.path(); dir.file("name"); dir.write("name", text)
//   A fresh directory under $TMPDIR (or /tmp), removed with its contents.
//
// This header includes gtest before Xlib, whose macros (None, Bool, Status)
// break gtest's own headers when they come first; a test file that includes
// X or Motif headers of its own should include this header first.
#pragma once

// Before Xlib: its macros (None, Bool, Status) clash with names in gtest.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// Generous default for every wait.
constexpr double default_timeout = 30.0;

using Env = std::vector<std::pair<std::string, std::string>>;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    bool write(const std::string& name, const std::string& contents) const;

private:
    std::string path_;
};

class XServer {
public:
    explicit XServer(int width = 1600, int height = 1200);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    bool ok() const { return display_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }
    Display* display() const { return display_; }
    Window root() const;
    std::string log() const;

private:
    pid_t pid_ = -1;
    Display* display_ = nullptr;
    std::string name_;
    std::string error_;
    TempDir dir_;
};

// Counts X errors on the test's connections while it exists.
class XErrorTrap {
public:
    explicit XErrorTrap(Display* dpy);
    ~XErrorTrap();
    // Syncs and tells whether an error arrived since construction.
    bool failed();
    int last_error_code() const;

private:
    Display* dpy_;
    unsigned long start_;
};

// The environment a program or forked child sees: see the header comment.
std::vector<std::string> make_environment(const XServer& server, const std::string& home,
                                          const Env& extra);

struct Launch {
    std::string binary;  // default: ZEN_BINARY
    std::string argv0;   // default: the binary's path
    std::string cwd;     // default: the Program's own fresh directory
};

class Program {
public:
    Program(const XServer& server, std::vector<std::string> args, Env env = {},
            Launch launch = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool started() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_.path(); }
    const std::string& argv0() const { return argv0_; }

    bool running();
    bool wait_exit(double timeout = default_timeout);
    bool exited() const { return ended_ && exited_; }
    int exit_status() const { return exited() ? code_ : -1; }
    bool signalled() const { return ended_ && !exited_; }
    int term_signal() const { return signalled() ? code_ : 0; }
    std::string describe();

    std::string stderr_text() const;
    std::string stdout_text() const;
    bool wait_stderr(const std::string& needle, double timeout = default_timeout);

    void kill(int sig = SIGKILL);

private:
    void reap(int status);

    TempDir dir_;
    std::string argv0_;
    std::string error_;
    std::string out_path_, err_path_;
    pid_t pid_ = -1;
    bool ended_ = false;
    bool exited_ = false;
    int code_ = 0;
};

struct ChildResult {
    int exit_status = -1;  // -1 unless the child exited
    int term_signal = 0;
    bool timed_out = false;
    std::string output;    // what the body appended to its string
    std::string err;       // the child's standard error
};

ChildResult run_forked(const XServer& server, const std::function<void(std::string&)>& body,
                       const Env& env = {}, double timeout = default_timeout);

// Windows.
struct WindowInfo {
    Window window = 0;
    Window parent = 0;
    std::vector<int> path;  // child_by_path indices from where the walk began
    int x = 0, y = 0;       // relative to the parent
    int root_x = 0, root_y = 0;
    int width = 0, height = 0;
    int border = 0;
    int map_state = 0;      // IsUnmapped, IsUnviewable, IsViewable
    bool input_only = false;
    std::string name;       // WM_NAME
};

std::string window_name(Display* dpy, Window w);
std::vector<Window> top_levels(Display* dpy);
Window find_top_level(Display* dpy, const std::string& title);
Window wait_for_window(Display* dpy, const std::string& title, double timeout = default_timeout);
bool wait_for_window_gone(Display* dpy, const std::string& title, double timeout = default_timeout);
bool is_viewable(Display* dpy, Window w);
bool wait_viewable(Display* dpy, Window w, double timeout = default_timeout);
bool wait_unviewable(Display* dpy, Window w, double timeout = default_timeout);
std::vector<Window> children(Display* dpy, Window w);
std::vector<Window> widget_children(Display* dpy, Window w);
Window child_by_path(Display* dpy, Window w, const std::vector<int>& path);
WindowInfo window_info(Display* dpy, Window w);
std::vector<WindowInfo> list_tree(Display* dpy, Window w);
std::string dump_tree(Display* dpy, Window w);
Window find_descendant(Display* dpy, Window w, const std::function<bool(const WindowInfo&)>& pred);
std::vector<WindowInfo> find_descendants(Display* dpy, Window w,
                                         const std::function<bool(const WindowInfo&)>& pred);
bool wait_until(const std::function<bool()>& cond, double timeout = default_timeout);

// Pointer and keyboard.
bool move_pointer(Display* dpy, Window w, int x, int y);
bool press(Display* dpy, Window w, int x, int y, unsigned button = 1);
bool release(Display* dpy, Window w, int x, int y, unsigned button = 1);
bool click(Display* dpy, Window w, int x, int y, unsigned button = 1);
bool click_centre(Display* dpy, Window w);
bool drag(Display* dpy, Window w, int x0, int y0, int x1, int y1, int steps = 10,
          unsigned button = 1);
bool key(Display* dpy, unsigned long keysym);

// Window-manager actions.
bool send_delete_window(Display* dpy, Window shell);
bool iconify(Display* dpy, Window top);
bool deiconify(Display* dpy, Window top);
Window top_level_of(Display* dpy, Window w);
bool raise_window(Display* dpy, Window w);
bool move_window(Display* dpy, Window w, int x, int y);
bool place_window(Display* dpy, Window w, int x, int y, double timeout = default_timeout);

class Cover {
public:
    Cover(Display* dpy, Window target, int margin = 0);
    ~Cover();
    Cover(const Cover&) = delete;
    Cover& operator=(const Cover&) = delete;
    bool ok() const { return window_ != 0; }
    Window window() const { return window_; }
    void remove();

private:
    Display* dpy_;
    Window window_ = 0;
};

// Zentaphon's own windows.
constexpr const char* control_title = "Zentaphon: Control";
constexpr const char* analyser_title = "Zentaphon: Frequency Spectrum";
constexpr const char* scope_title = "Zentaphon: XY Scope";

struct MainWindows {
    Window control = 0, analyser = 0, scope = 0;
    bool ok() const { return control && analyser && scope; }
};

MainWindows wait_for_main_windows(Display* dpy, double timeout = default_timeout);

namespace control_path {
inline const std::vector<int> soundcard = {0, 0, 0, 0, 1, 0};
inline const std::vector<int> diskfile = {0, 0, 0, 0, 1, 1};
inline const std::vector<int> analyser_run = {0, 0, 1, 0, 1};
inline const std::vector<int> alpha = {0, 0, 1, 0, 2, 0};  // the scale's scroll bar
inline const std::vector<int> decay = {0, 0, 1, 0, 3, 0};
inline const std::vector<int> peak_search = {0, 0, 1, 0, 4};
inline const std::vector<int> scope_run = {0, 0, 2, 0, 1};
inline const std::vector<int> zoom = {0, 0, 2, 0, 2, 0};
inline const std::vector<int> help = {0, 0, 3, 0, 1};
inline const std::vector<int> quit = {0, 0, 4, 0, 0};
}  // namespace control_path

// Pixels.
struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

constexpr uint32_t no_colour = 0xFF000000u;

class Image {
public:
    Image() = default;
    Image(int width, int height, uint32_t fill = 0);

    bool empty() const { return pixels_.empty(); }
    int width() const { return width_; }
    int height() const { return height_; }
    Rect bounds() const { return Rect{0, 0, width_, height_}; }
    uint32_t at(int x, int y) const { return pixels_[size_t(y) * width_ + x]; }
    void set(int x, int y, uint32_t rgb) { pixels_[size_t(y) * width_ + x] = rgb; }

    size_t count(uint32_t rgb) const { return count(rgb, bounds()); }
    size_t count(uint32_t rgb, Rect r) const;
    size_t count_other(uint32_t rgb, Rect r) const;
    bool contains(uint32_t rgb) const { return count(rgb) > 0; }
    std::map<uint32_t, size_t> histogram(Rect r) const;
    std::map<uint32_t, size_t> histogram() const { return histogram(bounds()); }
    Image crop(Rect r) const;

    bool operator==(const Image& o) const
    {
        return width_ == o.width_ && height_ == o.height_ && pixels_ == o.pixels_;
    }
    bool operator!=(const Image& o) const { return !(*this == o); }

    bool save_png(const std::string& path) const;
    static Image load_png(const std::string& path);

private:
    Rect clip(Rect r) const;

    int width_ = 0, height_ = 0;
    std::vector<uint32_t> pixels_;
};

Image capture(Display* dpy, Window w);
Image capture(Display* dpy, Window w, Rect r);
uint32_t colour(Display* dpy, const char* name);
uint32_t pixel_to_rgb(Display* dpy, unsigned long pixel);
bool shows_colour(Display* dpy, Window w, uint32_t rgb);

// Evidence of failures.
std::string failure_dir();
std::string failure_path(const std::string& label, const std::string& ext);
std::string save_failure_image(const Image& img, const std::string& label);

class SaveOnFailure {
public:
    // A tag, if given, goes into the file names after the test's name, to
    // tell the cases of a loop apart.
    explicit SaveOnFailure(const XServer& server, const std::string& tag = "");
    ~SaveOnFailure();
    SaveOnFailure(const SaveOnFailure&) = delete;
    SaveOnFailure& operator=(const SaveOnFailure&) = delete;

    void add(const std::string& label, const Image& img);
    void add(const std::string& label, const Program& prog);

private:
    class Listener;
    void save_screen();

    const XServer& server_;
    std::string test_;
    Listener* listener_ = nullptr;
    bool screen_saved_ = false;
    std::vector<std::pair<std::string, Image>> images_;
    std::vector<std::pair<std::string, const Program*>> programs_;
};

}  // namespace harness
