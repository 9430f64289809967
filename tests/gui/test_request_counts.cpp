// What a steady tone costs on the X connection: the program talks to the
// server through the counting proxy (tools/xcount) while both views run,
// and the requests, bytes and events of many blocks are held against
// bounds worked out from what each block has to draw.
#include "gui/test_analyser_support.h"

#include <csignal>
#include <sstream>

using namespace harness;
using namespace analyser_test;

namespace {

struct Counts {
    long long requests = 0, bytes = 0;
    std::map<std::string, std::pair<long long, long long>> by_request;   // count, bytes
    std::map<std::string, long long> events;
};

// The proxy in front of the private server; ended with SIGTERM, so that it
// takes its display number's lock and socket away.
class Proxy {
public:
    explicit Proxy(const XServer& server, const std::string& report)
        : report_(report), prog_(server, {"-report", report}, {}, Launch{ZEN_XCOUNT, "", ""})
    {
        wait_until([&] { return prog_.stdout_text().find('\n') != std::string::npos; });
        const std::string out = prog_.stdout_text();
        display_ = out.substr(0, out.find('\n'));
    }
    ~Proxy() { prog_.kill(SIGTERM); }
    const std::string& display() const { return display_; }

    // The counts so far.
    Counts snapshot()
    {
        ::kill(prog_.pid(), SIGUSR1);
        const std::string want = "snapshot " + std::to_string(++serial_) + "\n";
        std::string text;
        wait_until([&] {
            std::ifstream f(report_);
            std::stringstream s;
            s << f.rdbuf();
            text = s.str();
            return text.compare(0, want.size(), want) == 0;
        });
        Counts c;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream l(line);
            std::string key, name;
            long long code = 0, n = 0, b = 0;
            l >> key;
            if (key == "requests")
                l >> c.requests >> c.bytes;
            else if (key == "request" && (l >> name >> code >> n >> b))
                c.by_request[name] = {n, b};
            else if (key == "event" && (l >> name >> code >> n))
                c.events[name] = n;
        }
        return c;
    }

private:
    std::string report_;
    Program prog_;
    std::string display_;
    int serial_ = 0;
};

// The proxy frames what it counts by the length fields, also the long
// form of BIG-REQUESTS, which a polyline of 100000 points needs: a request
// it framed wrongly would spoil every count after it.
TEST(RequestCounts, TheProxyCountsEachRequestWithItsLength)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    TempDir dir;
    Proxy proxy(server, dir.file("counts"));
    Display* dpy = XOpenDisplay(proxy.display().c_str());
    ASSERT_NE(dpy, nullptr) << proxy.display();
    ASSERT_GT(XExtendedMaxRequestSize(dpy), 100000 + 3) << "no BIG-REQUESTS";
    const Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 200, 100, 0, 0, 0);
    GC gc = XCreateGC(dpy, w, 0, nullptr);
    XSync(dpy, False);
    const Counts c0 = proxy.snapshot();
    std::vector<XPoint> points(100000);
    for (size_t i = 0; i < points.size(); ++i)
        points[i] = XPoint{short(i % 200), short(i % 100)};
    XDrawLines(dpy, w, gc, points.data(), int(points.size()), CoordModeOrigin);
    XDrawLine(dpy, w, gc, 0, 0, 10, 10);
    XFillRectangle(dpy, w, gc, 0, 0, 5, 5);
    XSync(dpy, False);
    const Counts c1 = proxy.snapshot();
    XCloseDisplay(dpy);
    auto delta = [&](const std::string& name) {
        auto n = [&](const Counts& c) {
            auto it = c.by_request.find(name);
            return it == c.by_request.end() ? std::make_pair(0LL, 0LL) : it->second;
        };
        return std::make_pair(n(c1).first - n(c0).first, n(c1).second - n(c0).second);
    };
    // Header, the extended length, drawable, gc, then 4 bytes a point.
    EXPECT_EQ(delta("PolyLine"), std::make_pair(1LL, 16LL + 4 * 100000));
    EXPECT_EQ(delta("PolySegment"), std::make_pair(1LL, 20LL));
    EXPECT_EQ(delta("PolyFillRectangle"), std::make_pair(1LL, 20LL));
    EXPECT_EQ(delta("GetInputFocus"), std::make_pair(1LL, 4LL));   // the sync
    EXPECT_EQ(c1.requests - c0.requests, 4);
    EXPECT_EQ(c0.by_request.count("BIG-REQUESTS"), 1u) << "the extension's opcode is named";
}

TEST(RequestCounts, ASteadyToneCostsEachViewAFewRequestsPerBlock)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    Proxy proxy(server, dir.file("counts"));
    ASSERT_EQ(proxy.display().compare(0, 1, ":"), 0) << proxy.display();
    // Whole periods of a tone on each channel: every block is the same.
    DeviceLog log{dir.file("dsp.log")};
    Program prog(server, {},
                 {{"DISPLAY", proxy.display()},
                  {"LD_PRELOAD", ZEN_SIMDSP},
                  {"SIMDSP_LEFT", "sine:2153.3203125:1.0"},
                  {"SIMDSP_RIGHT", "sine:6459.9609375:0.3"},
                  {"SIMDSP_LOG", log.path}});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_EQ(win.spectrum.area.size(), 2u);
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(click_centre(dpy, win.controls.scope_run));
    ASSERT_TRUE(wait_until([&] { return log.reads() >= 10; })) << log.text();

    const int r0 = log.reads();
    const Counts c0 = proxy.snapshot();
    ASSERT_TRUE(wait_until([&] { return log.reads() >= r0 + 40; })) << log.text();
    const Counts c1 = proxy.snapshot();
    // Drawn between the snapshots: at most the blocks read meanwhile and
    // the one on its way at the first; labels come back every fifth block.
    const long long blocks = log.reads() - r0 + 1;
    const long long label_blocks = blocks / 5 + 1;

    auto delta = [&](const std::string& name) {
        auto get = [&](const Counts& c) {
            auto it = c.by_request.find(name);
            return it == c.by_request.end() ? std::make_pair(0LL, 0LL) : it->second;
        };
        return std::make_pair(get(c1).first - get(c0).first, get(c1).second - get(c0).second);
    };
    // The scope: a fill, one polyline through the 2048 frames, one copy.
    long long scope_requests = 0, scope_bytes = 0;
    for (const char* name : {"PolyFillRectangle", "PolyLine", "CopyPlane"}) {
        EXPECT_LE(delta(name).first, blocks) << name;
        scope_requests += delta(name).first;
        scope_bytes += delta(name).second;
    }
    EXPECT_GE(delta("PolyLine").first, 35);
    EXPECT_EQ(delta("PolyLine").second, delta("PolyLine").first * (12 + 2048 * 4));
    auto events = [&](const std::string& name) {
        auto n = [&](const Counts& c) { return c.events.count(name) ? c.events.at(name) : 0LL; };
        return n(c1) - n(c0);
    };
    EXPECT_EQ(events("NoExpose"), 0) << "a copy that needs no exposure events asked for them";
    EXPECT_EQ(events("GraphicsExpose"), 0);

    // Each analyser area, with bars that no longer move: its clip rectangle
    // (20 bytes), then the grid, one request per colour and direction for
    // the 8 frequency lines (minor at 2.5, 7.5, 12.5, 17.5 kHz, major at
    // the rest) and the 5 level lines (0 dB major, -20 .. -80 dB minor),
    // 12 bytes and 8 a line: 5 requests, 172 bytes. A label block adds
    // the 14 labels, which touch no line drawn after them, one text request
    // each of at most 28 bytes: 14 requests and 392 bytes more.
    const long long requests = c1.requests - c0.requests - scope_requests;
    const long long bytes = c1.bytes - c0.bytes - scope_bytes;
    EXPECT_LE(requests, 2 * (5 * blocks + 14 * label_blocks)) << blocks << " blocks";
    EXPECT_LE(bytes, 2 * (172 * blocks + 392 * label_blocks)) << blocks << " blocks";
    EXPECT_GT(requests, 0);
    EXPECT_TRUE(prog.running()) << prog.describe();
}

}  // namespace
