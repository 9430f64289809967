// The private Xvfb server of a test and the test's connection to it.
#include "gui/harness/GuiHarness.h"

#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {

// X errors on the test's own connections are counted instead of ending the
// test program (Xlib's default handler exits).
unsigned long error_count = 0;
int last_code = 0;

int count_error(Display*, XErrorEvent* ev)
{
    ++error_count;
    last_code = ev->error_code;
    return 0;
}

void install_error_handler()
{
    static bool installed = false;
    if (!installed) {
        XSetErrorHandler(count_error);
        installed = true;
    }
}

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

}  // namespace

XErrorTrap::XErrorTrap(Display* dpy) : dpy_(dpy), start_(error_count)
{
    install_error_handler();
}

XErrorTrap::~XErrorTrap() = default;

bool XErrorTrap::failed()
{
    XSync(dpy_, False);
    return error_count != start_;
}

int XErrorTrap::last_error_code() const
{
    return error_count != start_ ? last_code : 0;
}

XServer::XServer(int width, int height)
{
    const std::string log_path = dir_.file("xvfb.log");
    int fds[2];
    if (pipe(fds) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    const std::string fd_arg = std::to_string(fds[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const pid_t parent = getpid();

    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (pid_ == 0) {
        // The server must not outlive a test program that crashes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        setpgid(0, 0);
        int null_fd = open("/dev/null", O_RDWR);
        int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(log_fd >= 0 ? log_fd : null_fd, 2);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != fds[1])
                close(fd);
        execlp("Xvfb", "Xvfb", "-displayfd", fd_arg.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run Xvfb: %s\n", std::strerror(errno));
        _exit(127);
    }
    close(fds[1]);

    // Xvfb writes the display number it chose, followed by a newline, once
    // it accepts connections.
    std::string number;
    const auto deadline = Clock::now() + std::chrono::seconds(int(default_timeout));
    bool done = false;
    while (!done) {
        pollfd p{fds[0], POLLIN, 0};
        int n = poll(&p, 1, remaining_ms(deadline));
        if (n <= 0)
            break;
        char buf[32];
        ssize_t got = read(fds[0], buf, sizeof buf);
        if (got <= 0)
            break;
        for (ssize_t i = 0; i < got; ++i) {
            if (buf[i] == '\n')
                done = true;
            else if (!done)
                number += buf[i];
        }
    }
    close(fds[0]);
    if (!done || number.empty()) {
        error_ = "Xvfb did not report a display: " + log();
        return;
    }
    name_ = ":" + number;

    install_error_handler();
    while (!(display_ = XOpenDisplay(name_.c_str())) && remaining_ms(deadline) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!display_) {
        error_ = "cannot connect to Xvfb on " + name_ + ": " + log();
        return;
    }
    int ev, err, major, minor;
    if (!XTestQueryExtension(display_, &ev, &err, &major, &minor))
        error_ = "Xvfb on " + name_ + " has no XTEST extension";
}

XServer::~XServer()
{
    if (display_)
        XCloseDisplay(display_);
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (remaining_ms(deadline) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Window XServer::root() const
{
    return display_ ? DefaultRootWindow(display_) : 0;
}

std::string XServer::log() const
{
    std::ifstream in(dir_.file("xvfb.log"));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> make_environment(const XServer& server, const std::string& home,
                                          const Env& extra)
{
    static const char* const controlled[] = {"DISPLAY",     "HOME",
                                             "XENVIRONMENT", "XAPPLRESDIR",
                                             "XUSERFILESEARCHPATH", "XFILESEARCHPATH"};
    std::vector<std::pair<std::string, std::string>> vars;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq == std::string::npos)
            continue;
        std::string name = entry.substr(0, eq);
        bool skip = false;
        for (const char* c : controlled)
            skip = skip || name == c;
        if (!skip)
            vars.emplace_back(name, entry.substr(eq + 1));
    }
    vars.emplace_back("DISPLAY", server.name());
    vars.emplace_back("HOME", home);
    // A search path that finds no installed application-defaults file, so
    // the program's fallback resources apply unless a test says otherwise.
    vars.emplace_back("XFILESEARCHPATH", home + "/.x/%T/%N%S");
    for (const auto& [name, value] : extra) {
        bool replaced = false;
        for (auto& v : vars)
            if (v.first == name) {
                v.second = value;
                replaced = true;
            }
        if (!replaced)
            vars.emplace_back(name, value);
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : vars)
        out.push_back(name + "=" + value);
    return out;
}

}  // namespace harness
