// xcount: an X protocol counting proxy. It listens as a display of its own
// on this host, passes every connection on to the real display unchanged,
// and counts what the clients send (requests and their bytes, by major
// opcode) and what they are sent (events by type, replies, errors, bytes).
//
//   xcount [-display DISPLAY] [-first N] [-report FILE]
//
// DISPLAY (default $DISPLAY) is the real server, reached through its local
// socket. xcount takes the first free display number from N (default 20),
// prints it as ":N" on a line of its own on standard output, and serves
// until SIGTERM, SIGINT or SIGHUP. On SIGUSR1 it writes the counts so far
// to FILE (through FILE.new and a rename, so a reader never sees half of
// them), or to standard output without -report; it writes them once more
// when it ends. The counts are totals over all clients since the start:
//
//   snapshot K                 K-th report
//   clients C                  connections accepted
//   requests N BYTES           everything the clients sent after the setup
//   request NAME OPCODE N BYTES    per major opcode (extensions by name)
//   from-server BYTES          everything the clients were sent
//   replies N / errors N
//   event NAME CODE N          per event type (sent events included)
//
// Requests are framed by their length field, with BIG-REQUESTS lengths;
// the byte order is each client's own. Exit status 0, or 1 with a message
// on standard error when it cannot start.
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const request_names[128] = {
    nullptr, "CreateWindow", "ChangeWindowAttributes", "GetWindowAttributes", "DestroyWindow",
    "DestroySubwindows", "ChangeSaveSet", "ReparentWindow", "MapWindow", "MapSubwindows",
    "UnmapWindow", "UnmapSubwindows", "ConfigureWindow", "CirculateWindow", "GetGeometry",
    "QueryTree", "InternAtom", "GetAtomName", "ChangeProperty", "DeleteProperty", "GetProperty",
    "ListProperties", "SetSelectionOwner", "GetSelectionOwner", "ConvertSelection", "SendEvent",
    "GrabPointer", "UngrabPointer", "GrabButton", "UngrabButton", "ChangeActivePointerGrab",
    "GrabKeyboard", "UngrabKeyboard", "GrabKey", "UngrabKey", "AllowEvents", "GrabServer",
    "UngrabServer", "QueryPointer", "GetMotionEvents", "TranslateCoords", "WarpPointer",
    "SetInputFocus", "GetInputFocus", "QueryKeymap", "OpenFont", "CloseFont", "QueryFont",
    "QueryTextExtents", "ListFonts", "ListFontsWithInfo", "SetFontPath", "GetFontPath",
    "CreatePixmap", "FreePixmap", "CreateGC", "ChangeGC", "CopyGC", "SetDashes",
    "SetClipRectangles", "FreeGC", "ClearArea", "CopyArea", "CopyPlane", "PolyPoint", "PolyLine",
    "PolySegment", "PolyRectangle", "PolyArc", "FillPoly", "PolyFillRectangle", "PolyFillArc",
    "PutImage", "GetImage", "PolyText8", "PolyText16", "ImageText8", "ImageText16",
    "CreateColormap", "FreeColormap", "CopyColormapAndFree", "InstallColormap",
    "UninstallColormap", "ListInstalledColormaps", "AllocColor", "AllocNamedColor",
    "AllocColorCells", "AllocColorPlanes", "FreeColors", "StoreColors", "StoreNamedColor",
    "QueryColors", "LookupColor", "CreateCursor", "CreateGlyphCursor", "FreeCursor",
    "RecolorCursor", "QueryBestSize", "QueryExtension", "ListExtensions",
    "ChangeKeyboardMapping", "GetKeyboardMapping", "ChangeKeyboardControl",
    "GetKeyboardControl", "Bell", "ChangePointerControl", "GetPointerControl", "SetScreenSaver",
    "GetScreenSaver", "ChangeHosts", "ListHosts", "SetAccessControl", "SetCloseDownMode",
    "KillClient", "RotateProperties", "ForceScreenSaver", "SetPointerMapping",
    "GetPointerMapping", "SetModifierMapping", "GetModifierMapping", nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, "NoOperation"};

const char* const event_names[36] = {
    nullptr, nullptr, "KeyPress", "KeyRelease", "ButtonPress", "ButtonRelease", "MotionNotify",
    "EnterNotify", "LeaveNotify", "FocusIn", "FocusOut", "KeymapNotify", "Expose",
    "GraphicsExpose", "NoExpose", "VisibilityNotify", "CreateNotify", "DestroyNotify",
    "UnmapNotify", "MapNotify", "MapRequest", "ReparentNotify", "ConfigureNotify",
    "ConfigureRequest", "GravityNotify", "ResizeRequest", "CirculateNotify", "CirculateRequest",
    "PropertyNotify", "SelectionClear", "SelectionRequest", "SelectionNotify", "ColormapNotify",
    "ClientMessage", "MappingNotify", "GenericEvent"};

constexpr int query_extension = 98;

struct Counts {
    long long clients = 0;
    long long requests[256] = {};
    long long request_bytes[256] = {};
    long long events[128] = {};
    long long replies = 0, errors = 0, from_server = 0;
    std::map<int, std::string> extensions;   // major opcode -> name
};

Counts counts;

// One direction of one connection, framed into messages as bytes arrive.
class Stream {
public:
    explicit Stream(bool from_client) : from_client_(from_client) {}

    // The client's byte order, known from its first byte.
    void set_peer(Stream* other) { peer_ = other; }

    void feed(const uint8_t* p, size_t n)
    {
        if (!from_client_)
            counts.from_server += static_cast<long long>(n);
        while (n > 0) {
            if (skip_ > 0) {
                size_t k = skip_ < n ? skip_ : n;
                if (keep_)
                    body_.insert(body_.end(), p, p + k);
                skip_ -= k;
                p += k;
                n -= k;
                if (skip_ == 0 && keep_)
                    body_done();
                continue;
            }
            head_[have_++] = *p++;
            --n;
            if (have_ == need_)
                header_done();
        }
    }

private:
    uint32_t card16(const uint8_t* b) const
    {
        return big_endian() ? (uint32_t(b[0]) << 8 | b[1]) : (uint32_t(b[1]) << 8 | b[0]);
    }
    uint32_t card32(const uint8_t* b) const
    {
        return big_endian() ? (uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3])
                            : (uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0]);
    }
    bool big_endian() const { return (from_client_ ? order_ : peer_->order_) == 'B'; }
    static size_t pad4(size_t n) { return (n + 3) & ~size_t(3); }

    void expect(size_t need)
    {
        have_ = 0;
        need_ = need;
    }

    void header_done()
    {
        if (from_client_)
            client_header();
        else
            server_header();
    }

    void client_header()
    {
        switch (phase_) {
        case Setup:
            order_ = head_[0];
            skip_ = pad4(card16(head_ + 6)) + pad4(card16(head_ + 8));
            phase_ = Messages;
            expect(4);
            return;
        case Messages: {
            uint32_t units = card16(head_ + 2);
            if (units == 0 && need_ == 4) {   // BIG-REQUESTS: the length follows
                need_ = 8;
                return;
            }
            if (need_ == 8)
                units = card32(head_ + 4);
            const uint32_t bytes = units * 4;
            const int opcode = head_[0];
            ++counts.requests[opcode];
            counts.request_bytes[opcode] += bytes;
            ++sequence_;
            skip_ = bytes > need_ ? bytes - need_ : 0;
            keep_ = opcode == query_extension && need_ == 4 && skip_ > 0;
            if (keep_)
                body_.assign(head_, head_ + 4);
            expect(4);
            return;
        }
        }
    }

    void body_done()
    {
        keep_ = false;
        if (body_.size() < 8)
            return;
        const size_t length = card16(body_.data() + 4);
        if (8 + length <= body_.size())
            pending_[sequence_ & 0xFFFF] =
                std::string(reinterpret_cast<const char*>(body_.data() + 8), length);
    }

    void server_header()
    {
        switch (phase_) {
        case Setup:
            skip_ = size_t(card16(head_ + 6)) * 4;
            phase_ = Messages;
            expect(32);
            return;
        case Messages: {
            const int type = head_[0] & 0x7F;
            if (type == 0) {
                ++counts.errors;
            } else if (type == 1) {
                ++counts.replies;
                skip_ = size_t(card32(head_ + 4)) * 4;
                extension_reply();
            } else {
                ++counts.events[type];
                if (type == 35)
                    skip_ = size_t(card32(head_ + 4)) * 4;
            }
            expect(32);
            return;
        }
        }
    }

    // The answer to a QueryExtension names its major opcode.
    void extension_reply()
    {
        auto& pending = peer_->pending_;
        auto it = pending.find(card16(head_ + 2));
        if (it == pending.end())
            return;
        if (head_[8])
            counts.extensions[head_[9]] = it->second;
        pending.erase(it);
    }

    enum Phase { Setup, Messages };
    bool from_client_;
    Stream* peer_ = nullptr;
    Phase phase_ = Setup;
    uint8_t order_ = 'l';
    uint8_t head_[32] = {};
    size_t have_ = 0;
    size_t need_ = 12;          // the client's setup header; the server's is 8
    size_t skip_ = 0;
    bool keep_ = false;
    std::vector<uint8_t> body_;
    uint32_t sequence_ = 0;
    std::map<uint32_t, std::string> pending_;   // sequence -> extension name asked for

    friend class Connection;
};

// A client and its connection to the real server; bytes wait in a buffer
// while the other side cannot take them, and nothing more is read then.
class Connection {
public:
    Connection(int client, int server) : fd_{client, server}, stream_{Stream(true), Stream(false)}
    {
        stream_[0].set_peer(&stream_[1]);
        stream_[1].set_peer(&stream_[0]);
        stream_[1].need_ = 8;
    }
    ~Connection()
    {
        close(fd_[0]);
        close(fd_[1]);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Poll entries: [0] the client, [1] the server.
    void prepare(pollfd* p) const
    {
        for (int side = 0; side < 2; ++side) {
            p[side].fd = fd_[side];
            p[side].events = 0;
            if (pending_[side].empty())
                p[side].events |= POLLIN;       // may read what it sends
            if (!pending_[1 - side].empty())
                p[side].events |= POLLOUT;      // may take what the other sent
        }
    }

    // False once either side has gone.
    bool serve(const pollfd* p)
    {
        for (int side = 0; side < 2; ++side) {
            if (p[side].revents & POLLOUT) {
                std::string& out = pending_[1 - side];
                ssize_t k = write(fd_[side], out.data(), out.size());
                if (k < 0 && errno != EAGAIN && errno != EINTR)
                    return false;
                if (k > 0)
                    out.erase(0, size_t(k));
            }
        }
        for (int side = 0; side < 2; ++side) {
            if (p[side].revents & (POLLIN | POLLHUP | POLLERR)) {
                uint8_t buf[65536];
                ssize_t k = read(fd_[side], buf, sizeof buf);
                if (k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR))
                    return false;
                if (k > 0) {
                    stream_[side].feed(buf, size_t(k));
                    pending_[side].append(reinterpret_cast<const char*>(buf), size_t(k));
                }
            }
        }
        return true;
    }

private:
    int fd_[2];
    Stream stream_[2];
    std::string pending_[2];    // read from side i, to be written to the other
};

volatile sig_atomic_t report_wanted = 0;
volatile sig_atomic_t end_wanted = 0;

void on_signal(int sig)
{
    if (sig == SIGUSR1)
        report_wanted = 1;
    else
        end_wanted = 1;
}

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "xcount: %s\n", message.c_str());
    std::exit(1);
}

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The real server's local socket: the abstract one first, then the file.
int connect_display(const std::string& name)
{
    size_t colon = name.rfind(':');
    if (colon == std::string::npos)
        fail("not a local display: " + name);
    const std::string number = name.substr(colon + 1, name.find('.', colon) - colon - 1);
    const std::string path = "/tmp/.X11-unix/X" + number;
    for (bool abstract : {true, false}) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path + (abstract ? 1 : 0), path.c_str(), path.size());
        socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0) {
            set_nonblocking(fd);
            return fd;
        }
        close(fd);
    }
    return -1;
}

std::string lock_path, socket_path;

// A lock whose process has ended is taken away with its socket, as X
// servers do.
bool take_stale(const std::string& lock, int number)
{
    FILE* f = std::fopen(lock.c_str(), "r");
    if (!f)
        return false;
    int pid = 0;
    const bool read = std::fscanf(f, "%d", &pid) == 1;
    std::fclose(f);
    if (!read || pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH)
        return false;
    unlink(("/tmp/.X11-unix/X" + std::to_string(number)).c_str());
    return unlink(lock.c_str()) == 0;
}

// A display number of our own: its lock file (as X servers take them, so
// that they pass it over) and its socket.
int listen_display(int first, int& number)
{
    mkdir("/tmp/.X11-unix", 01777);
    for (number = first; number < first + 200; ++number) {
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        int lfd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
        if (lfd < 0 && take_stale(lock, number))
            lfd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
        if (lfd < 0)
            continue;
        char pid[16];
        int k = std::snprintf(pid, sizeof pid, "%10d\n", int(getpid()));
        if (write(lfd, pid, size_t(k)) != k) {
            close(lfd);
            unlink(lock.c_str());
            continue;
        }
        close(lfd);
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.c_str(), path.size());
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 16) == 0) {
            lock_path = lock;
            socket_path = path;
            set_nonblocking(fd);
            return fd;
        }
        close(fd);
        unlink(lock.c_str());
    }
    fail("no free display number from " + std::to_string(first));
}

void write_report(const std::string& file, long long serial)
{
    std::string s = "snapshot " + std::to_string(serial) + "\n";
    s += "clients " + std::to_string(counts.clients) + "\n";
    long long n = 0, bytes = 0;
    for (int op = 0; op < 256; ++op) {
        n += counts.requests[op];
        bytes += counts.request_bytes[op];
    }
    s += "requests " + std::to_string(n) + " " + std::to_string(bytes) + "\n";
    for (int op = 0; op < 256; ++op) {
        if (!counts.requests[op])
            continue;
        std::string name;
        if (op < 128 && request_names[op])
            name = request_names[op];
        else if (counts.extensions.count(op))
            name = counts.extensions[op];
        else
            name = "opcode-" + std::to_string(op);
        s += "request " + name + " " + std::to_string(op) + " " + std::to_string(counts.requests[op]) +
             " " + std::to_string(counts.request_bytes[op]) + "\n";
    }
    s += "from-server " + std::to_string(counts.from_server) + "\n";
    s += "replies " + std::to_string(counts.replies) + "\n";
    s += "errors " + std::to_string(counts.errors) + "\n";
    for (int type = 2; type < 128; ++type) {
        if (!counts.events[type])
            continue;
        const std::string name = type < 36 ? event_names[type] : "event-" + std::to_string(type);
        s += "event " + name + " " + std::to_string(type) + " " + std::to_string(counts.events[type]) + "\n";
    }
    if (file.empty()) {
        std::fputs(s.c_str(), stdout);
        std::fflush(stdout);
        return;
    }
    const std::string tmp = file + ".new";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return;
    std::fputs(s.c_str(), f);
    std::fclose(f);
    std::rename(tmp.c_str(), file.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const char* env_display = std::getenv("DISPLAY");
    std::string display = env_display ? env_display : "";
    std::string report;
    int first = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            fail("usage: xcount [-display DISPLAY] [-first N] [-report FILE]");
        if (a == "-display")
            display = argv[++i];
        else if (a == "-first")
            first = std::atoi(argv[++i]);
        else if (a == "-report")
            report = argv[++i];
        else
            fail("unknown option " + a);
    }
    if (display.empty())
        fail("no display");
    int probe = connect_display(display);
    if (probe < 0)
        fail("cannot reach " + display);
    close(probe);

    struct sigaction sa{};
    sa.sa_handler = on_signal;
    for (int sig : {SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // The signals arrive only while waiting, so none is missed between a
    // look at the flags and the wait.
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    for (int sig : {SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    for (int sig : {SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        sigdelset(&waiting, sig);

    int number = 0;
    const int listener = listen_display(first, number);
    std::printf(":%d\n", number);
    std::fflush(stdout);

    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    long long serial = 0;
    while (!end_wanted) {
        if (report_wanted) {
            report_wanted = 0;
            write_report(report, ++serial);
        }
        fds.assign(1 + 2 * connections.size(), pollfd{});
        fds[0].fd = listener;
        fds[0].events = POLLIN;
        for (size_t i = 0; i < connections.size(); ++i)
            connections[i]->prepare(&fds[1 + 2 * i]);
        if (ppoll(fds.data(), fds.size(), nullptr, &waiting) < 0)
            continue;
        for (size_t i = connections.size(); i-- > 0;)
            if (!connections[i]->serve(&fds[1 + 2 * i]))
                connections.erase(connections.begin() + long(i));
        if (fds[0].revents & POLLIN) {
            int client = accept(listener, nullptr, nullptr);
            if (client >= 0) {
                set_nonblocking(client);
                int server = connect_display(display);
                if (server < 0) {
                    close(client);
                } else {
                    ++counts.clients;
                    connections.push_back(std::make_unique<Connection>(client, server));
                }
            }
        }
    }
    write_report(report, ++serial);
    connections.clear();
    close(listener);
    unlink(socket_path.c_str());
    unlink(lock_path.c_str());
    return 0;
}
