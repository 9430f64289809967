// The XY scope through the real program on a private X server, fed by the
// simulated sound device: what the "Drawing" area of the scope window
// shows for known signals, how it repaints after exposes and resizes, and
// how closing, iconifying and covering the window act on sampling and on
// the copying of each block to the screen. The requests the program sends
// for each block are watched with the RECORD extension, so that "a block
// was computed" and "a block was copied" can be told apart without timing
// anything.
#include <gtest/gtest.h>

#include "gui/harness/GuiHarness.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/record.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace harness;

namespace {

// A tone of k whole cycles per block of 2048 frames at 44100 Hz, so that
// every block holds the same samples.
std::string bin_tone(int k, const std::string& level, int phase_deg = 0)
{
    std::ostringstream s;
    s.precision(17);
    s << "sine:" << k * 44100.0 / 2048.0 << ":" << level << ":" << phase_deg;
    return s.str();
}

// Where the law puts the frame (left, right) (16-bit samples) in a window
// of width x height at the zoom in dB: the point at radius r moves along
// its ray to radius 10^(zoom/20) log2(1 + r), world -1 .. 1 spans the
// window, y grows upwards. Unrounded pixel coordinates.
struct Exact {
    long double x, y;
};

Exact exact_pixel(int left16, int right16, double zoom, int width, int height)
{
    const long double x = left16 * 65536.0L / 2147483647.0L;
    const long double y = right16 * 65536.0L / 2147483647.0L;
    const long double r = std::sqrt(x * x + y * y);
    long double k = 0.0L;
    if (r > 0.0L)
        k = std::pow(10.0L, zoom / 20.0L) * std::log2(1.0L + r) / r;
    const long double hw = width / 2.0L, hh = height / 2.0L;
    return {hw + x * k * hw, hh - y * k * hh};
}

// The pixel such a coordinate is drawn on (truncated toward zero).
int pixel_of(long double v)
{
    return static_cast<int>(std::trunc(v));
}

// Distance of v from the nearest integer: a coordinate this close to a
// pixel boundary would make the expected pixel depend on rounding.
long double boundary_distance(long double v)
{
    return std::fabs(v - std::round(v));
}

// Raw 16-bit host-order samples for a file: signal.
std::string raw_samples(const std::vector<int>& v)
{
    std::string s(v.size() * 2, '\0');
    for (size_t i = 0; i < v.size(); ++i) {
        const int16_t x = static_cast<int16_t>(v[i]);
        std::memcpy(&s[2 * i], &x, 2);
    }
    return s;
}

// ---------------------------------------------------------------------------
// The requests the program sends to draw the scope: fills and polylines
// into the off-screen bitmap, plane copies from it into the scope window.
// The bitmap is recognised as the source of the copies.

struct Request {
    char kind;         // 'F' fill, 'L' polyline, 'C' plane copy into the scope window
    XID drawable;      // target of F and L, source of C
    int points;        // for 'L'
};

class RequestRecorder {
public:
    // Records the requests of the client that owns the resource.
    RequestRecorder(const std::string& display_name, XID client_resource, Window scope_window)
        : window_(scope_window)
    {
        control_ = XOpenDisplay(display_name.c_str());
        data_ = XOpenDisplay(display_name.c_str());
        if (!control_ || !data_)
            return;
        int major = 0, minor = 0;
        if (!XRecordQueryVersion(control_, &major, &minor))
            return;
        XRecordRange* range = XRecordAllocRange();
        range->core_requests.first = X_CopyPlane;
        range->core_requests.last = X_PolyFillRectangle;
        XRecordClientSpec clients = client_resource;
        context_ = XRecordCreateContext(control_, 0, &clients, 1, &range, 1);
        XFree(range);
        XSync(control_, False);
        if (!context_)
            return;
        enabled_ = XRecordEnableContextAsync(data_, context_, intercept,
                                             reinterpret_cast<XPointer>(this));
        XSync(control_, False);
    }

    ~RequestRecorder()
    {
        if (enabled_) {
            XRecordDisableContext(control_, context_);
            XSync(control_, False);
            XRecordProcessReplies(data_);
        }
        if (context_)
            XRecordFreeContext(control_, context_);
        if (data_)
            XCloseDisplay(data_);
        if (control_)
            XCloseDisplay(control_);
    }

    RequestRecorder(const RequestRecorder&) = delete;
    RequestRecorder& operator=(const RequestRecorder&) = delete;

    bool ok() const { return enabled_; }

    // The scope's requests so far, after taking in what has arrived: the
    // copies into the window, and the fills and polylines into any bitmap
    // that was ever copied from (the program draws its widgets too).
    const std::vector<Request>& requests()
    {
        XSync(control_, False);
        XRecordProcessReplies(data_);
        std::set<XID> bitmaps;
        for (const Request& q : raw_)
            if (q.kind == 'C')
                bitmaps.insert(q.drawable);
        seq_.clear();
        for (const Request& q : raw_)
            if (q.kind == 'C' || bitmaps.count(q.drawable))
                seq_.push_back(q);
        return seq_;
    }

    size_t count(char kind)
    {
        const auto& r = requests();
        return static_cast<size_t>(std::count_if(r.begin(), r.end(), [kind](const Request& q) {
            return q.kind == kind;
        }));
    }

    // Blocks drawn since the last copy to the window.
    int blocks_since_last_copy()
    {
        const auto& r = requests();
        int n = 0;
        for (auto it = r.rbegin(); it != r.rend() && it->kind != 'C'; ++it)
            n += it->kind == 'L';
        return n;
    }

    // How many of the latest blocks were each drawn and copied at once:
    // the tail of the record is that many fill, polyline, copy triples.
    int copied_blocks_at_end()
    {
        const auto& r = requests();
        int n = 0;
        size_t i = r.size();
        while (i >= 3 && r[i - 3].kind == 'F' && r[i - 2].kind == 'L' && r[i - 1].kind == 'C') {
            ++n;
            i -= 3;
        }
        return n;
    }

    std::string summary()
    {
        std::string s;
        for (const Request& q : requests())
            s += q.kind;
        return s;
    }

private:
    static uint32_t card32(const unsigned char* p, bool swapped)
    {
        uint32_t v;
        std::memcpy(&v, p, 4);
        if (swapped)
            v = (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
        return v;
    }

    static void intercept(XPointer closure, XRecordInterceptData* d)
    {
        auto* self = reinterpret_cast<RequestRecorder*>(closure);
        if (d->category == XRecordFromClient && d->data && d->data_len >= 3) {
            const unsigned char* req = d->data;
            const bool sw = d->client_swapped;
            switch (req[0]) {
            case X_PolyFillRectangle:
                self->raw_.push_back({'F', card32(req + 4, sw), 0});
                break;
            case X_PolyLine:
                self->raw_.push_back({'L', card32(req + 4, sw), static_cast<int>(d->data_len) - 3});
                break;
            case X_CopyPlane:
                if (card32(req + 8, sw) == self->window_)
                    self->raw_.push_back({'C', card32(req + 4, sw), 0});
                break;
            default:
                break;
            }
        }
        XRecordFreeData(d);
    }

    Window window_;
    Display* control_ = nullptr;
    Display* data_ = nullptr;
    XRecordContext context_ = 0;
    bool enabled_ = false;
    std::vector<Request> raw_;
    std::vector<Request> seq_;
};

// ---------------------------------------------------------------------------

class ScopeWindow : public ::testing::Test {
protected:
    XServer server;
    TempDir files;
    std::unique_ptr<Program> prog;
    std::unique_ptr<SaveOnFailure> evidence;
    Display* dpy = nullptr;
    Window control = 0, scope_shell = 0, drawing = 0;
    Window scope_run = 0, analyser_run = 0, zoom_bar = 0;
    uint32_t trace = 0, background = 0, selected = 0;
    int width = 0, height = 0;
    int run_number = 0;
    std::string log_path;

    // Starts the program on the simulated device recording these signals
    // (realtime pacing) and waits until the scope window shows its empty
    // bitmap.
    void start(std::vector<std::string> args, const std::string& left, const std::string& right)
    {
        ASSERT_TRUE(server.ok()) << server.error();
        dpy = server.display();
        if (prog) {   // a second run in the same test: the first one goes
            evidence.reset();
            prog.reset();
            ASSERT_TRUE(wait_for_window_gone(dpy, scope_title));
            ASSERT_TRUE(wait_for_window_gone(dpy, control_title));
        }
        log_path = files.file("dsp" + std::to_string(++run_number) + ".log");
        trace = colour(dpy, "firebrick1");
        background = colour(dpy, "gray20");
        selected = colour(dpy, "red");
        prog = std::make_unique<Program>(server, std::move(args),
                                         Env{{"LD_PRELOAD", ZEN_SIMDSP},
                                             {"SIMDSP_LEFT", left},
                                             {"SIMDSP_RIGHT", right},
                                             {"SIMDSP_PACE", "realtime"},
                                             {"SIMDSP_LOG", log_path}});
        ASSERT_TRUE(prog->started()) << prog->error();
        evidence = std::make_unique<SaveOnFailure>(server, run_number > 1 ? std::to_string(run_number) : "");
        evidence->add("stderr", *prog);

        control = wait_for_window(dpy, control_title);
        ASSERT_NE(control, 0u) << prog->describe() << "\n" << prog->stderr_text();
        scope_shell = wait_for_window(dpy, scope_title);
        ASSERT_NE(scope_shell, 0u) << prog->stderr_text();
        // Shell > "Scope" form > "Drawing".
        drawing = child_by_path(dpy, scope_shell, {0, 0});
        ASSERT_NE(drawing, 0u) << dump_tree(dpy, scope_shell);
        // Shell > main window > "Control" > Frame3 > Form3 > ["XY Scope",
        // "Run", "Zoom"]; Frame2 > Form2 > ["Freq. Analyser", "Run", ...].
        scope_run = child_by_path(dpy, control, control_path::scope_run);
        analyser_run = child_by_path(dpy, control, control_path::analyser_run);
        zoom_bar = child_by_path(dpy, control, control_path::zoom);
        ASSERT_NE(scope_run, 0u) << dump_tree(dpy, control);
        ASSERT_NE(analyser_run, 0u) << dump_tree(dpy, control);
        ASSERT_NE(zoom_bar, 0u) << dump_tree(dpy, control);
        // There is no window manager: every shell opens at the top left,
        // the analyser's over the control window. Spread them out.
        ASSERT_TRUE(place_window(dpy, control, 0, 650));
        ASSERT_TRUE(place_window(dpy, scope_shell, 1150, 50));
        ASSERT_TRUE(measure());
        EXPECT_EQ(width, 300);
        EXPECT_EQ(height, 300);
        ASSERT_TRUE(wait_until([&] { return all_background(capture(dpy, drawing)); }))
            << "the scope window never showed its empty bitmap";
        EXPECT_FALSE(toggle_on(scope_run));
    }

    bool measure()
    {
        const WindowInfo info = window_info(dpy, drawing);
        width = info.width;
        height = info.height;
        return info.window != 0;
    }

    bool all_background(const Image& img) const
    {
        return !img.empty() && img.count(background) == static_cast<size_t>(img.width()) * img.height();
    }

    bool toggle_on(Window toggle) { return shows_colour(dpy, toggle, selected); }

    std::string log_text() const
    {
        std::ifstream in(log_path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Lines of the device log that begin with word.
    int log_lines(const std::string& word) const
    {
        std::istringstream in(log_text());
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            n += line.compare(0, word.size() + 1, word + " ") == 0;
        return n;
    }

    // Sets the scope's Run toggle and waits until sampling runs.
    void run_scope()
    {
        const int opens = log_lines("open"), reads = log_lines("read");
        ASSERT_TRUE(click_centre(dpy, scope_run));
        ASSERT_TRUE(wait_until([&] { return toggle_on(scope_run); })) << "Run toggle stayed off";
        ASSERT_TRUE(wait_until([&] { return log_lines("read") > reads; })) << log_text();
        EXPECT_GE(log_lines("open"), opens);
    }

    // Unsets it and waits until the device is closed.
    void stop_scope()
    {
        const int closes = log_lines("close");
        ASSERT_TRUE(click_centre(dpy, scope_run));
        ASSERT_TRUE(wait_until([&] { return log_lines("close") > closes; })) << log_text();
        ASSERT_TRUE(wait_until([&] { return !toggle_on(scope_run); }));
    }

    // Waits until the window shows a trace that satisfies ok; returns it.
    Image wait_trace(const std::function<bool(const Image&)>& ok = [](const Image&) { return true; })
    {
        Image img;
        const bool seen = wait_until([&] {
            img = capture(dpy, drawing);
            return !img.empty() && img.contains(trace) && ok(img);
        });
        if (evidence)
            evidence->add("scope", img);
        EXPECT_TRUE(seen) << "no such trace appeared";
        return img;
    }

    std::vector<std::pair<int, int>> trace_pixels(const Image& img) const
    {
        std::vector<std::pair<int, int>> v;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (img.at(x, y) == trace)
                    v.push_back({x, y});
        return v;
    }

    // The window shows nothing but the two colours of the scope.
    ::testing::AssertionResult two_colours(const Image& img) const
    {
        for (const auto& [rgb, n] : img.histogram())
            if (rgb != trace && rgb != background)
                return ::testing::AssertionFailure()
                       << n << " pixels of colour " << std::hex << rgb;
        return ::testing::AssertionSuccess();
    }
};

// ---------------------------------------------------------------------------
// What the trace looks like.

TEST_F(ScopeWindow, DigitalSilenceIsOneDotOnTheCentrePixel)
{
    ASSERT_NO_FATAL_FAILURE(start({"-dcadjust", "False"}, "silence", "silence"));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    const auto px = trace_pixels(img);
    ASSERT_EQ(px.size(), 1u);
    EXPECT_EQ(px[0], std::make_pair(width / 2, height / 2));
}

TEST_F(ScopeWindow, WithDCAdjustAConstantSignalLandsOnTheCentre)
{
    // dcadjust is on by default: the channel means are taken off first.
    ASSERT_NO_FATAL_FAILURE(start({}, "dc:6000", "dc:-4000"));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    const auto px = trace_pixels(img);
    ASSERT_EQ(px.size(), 1u);
    EXPECT_EQ(px[0], std::make_pair(150, 150));
}

TEST_F(ScopeWindow, WithoutDCAdjustAConstantSignalIsOneDotWhereTheLawPutsIt)
{
    ASSERT_NO_FATAL_FAILURE(start({"-dcadjust", "False"}, "dc:6000", "dc:-4000"));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    const auto px = trace_pixels(img);
    ASSERT_EQ(px.size(), 1u);
    const Exact e = exact_pixel(6000, -4000, 6.0, 300, 300);   // default zoom
    EXPECT_EQ(px[0], std::make_pair(pixel_of(e.x), pixel_of(e.y)));
    EXPECT_GT(px[0].first, 150);   // right and below the centre
    EXPECT_GT(px[0].second, 150);
}

TEST_F(ScopeWindow, LeftOnlyIsAHorizontalLineThroughTheCentre)
{
    ASSERT_NO_FATAL_FAILURE(start({}, bin_tone(47, "0.4"), "silence"));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    int lo = 300, hi = -1;
    for (const auto& [x, y] : trace_pixels(img)) {
        ASSERT_EQ(y, 150) << "trace pixel at " << x << "," << y;
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    // 0.4 of full scale reaches 1.9953 log2(1.4) = 0.9686 of the half width.
    const int reach = pixel_of(exact_pixel(static_cast<int>(std::lround(0.4 * 32767)), 0, 6.0, 300, 300).x);
    EXPECT_NEAR(hi, reach, 1);
    EXPECT_NEAR(150 - lo, reach - 150, 2);
    EXPECT_EQ(img.count(trace), static_cast<size_t>(hi - lo + 1));   // a solid line
}

TEST_F(ScopeWindow, RightOnlyIsAVerticalLineThroughTheCentre)
{
    ASSERT_NO_FATAL_FAILURE(start({}, "silence", bin_tone(47, "0.4")));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    int lo = 300, hi = -1;
    for (const auto& [x, y] : trace_pixels(img)) {
        ASSERT_EQ(x, 150) << "trace pixel at " << x << "," << y;
        lo = std::min(lo, y);
        hi = std::max(hi, y);
    }
    EXPECT_GT(hi - lo, 250);
    EXPECT_EQ(img.count(trace), static_cast<size_t>(hi - lo + 1));
}

TEST_F(ScopeWindow, LeftEqualToRightIsTheRisingDiagonal)
{
    ASSERT_NO_FATAL_FAILURE(start({}, bin_tone(47, "0.25"), bin_tone(47, "0.25")));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    const auto px = trace_pixels(img);
    bool upper_right = false, lower_left = false;
    for (const auto& [x, y] : px) {
        // On the line from bottom left to top right, give or take the
        // truncation of each coordinate.
        ASSERT_LE(std::abs((x - 150) - (150 - y)), 1) << "trace pixel at " << x << "," << y;
        upper_right |= x > 200 && y < 100;
        lower_left |= x < 100 && y > 200;
    }
    EXPECT_TRUE(upper_right);
    EXPECT_TRUE(lower_left);
}

TEST_F(ScopeWindow, AWideStereoSignalFillsAnArea)
{
    ASSERT_NO_FATAL_FAILURE(start({}, "noise:1:0.3", "noise:2:0.3"));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    // Trace in many places that lie on none of the three lines above.
    std::set<std::pair<int, int>> cells;
    size_t off_lines = 0;
    for (const auto& [x, y] : trace_pixels(img)) {
        cells.insert({x / 20, y / 20});
        off_lines += x != 150 && y != 150 && std::abs((x - 150) - (150 - y)) > 2;
    }
    EXPECT_GT(off_lines, 5000u);
    EXPECT_GT(cells.size(), 120u);   // of the 15 x 15 cells of 20 x 20 pixels
}

// ---------------------------------------------------------------------------
// Where the law puts points: arms from the centre in eight directions.
//
// A 16-frame loop of "arm, centre" pairs, played from files, so that every
// block of 2048 frames holds the same frames and draws a star: one straight
// arm from the centre to each arm's point. The far end of each arm is the
// point itself, which must sit exactly where the law puts it.

struct Arm {
    int left, right;   // 16-bit samples
};

int sgn(int v)
{
    return (v > 0) - (v < 0);
}

class ScopeArms : public ScopeWindow {
protected:
    std::vector<Arm> arms;

    void start_arms(std::vector<std::string> args, std::vector<Arm> a)
    {
        arms = std::move(a);
        ASSERT_EQ(arms.size(), 8u);
        std::vector<int> l, r;
        for (const Arm& arm : arms) {
            l.insert(l.end(), {arm.left, 0});
            r.insert(r.end(), {arm.right, 0});
        }
        ASSERT_TRUE(files.write("left.raw", raw_samples(l)));
        ASSERT_TRUE(files.write("right.raw", raw_samples(r)));
        args.insert(args.end(), {"-dcadjust", "False"});
        ASSERT_NO_FATAL_FAILURE(
            start(args, "file:" + files.file("left.raw"), "file:" + files.file("right.raw")));
    }

    // Checks the far end of every arm that ends inside the window: its
    // pixel is lit and the pixels just beyond it along the arm are not.
    // An arm that leaves the window must reach its edge.
    void check_ends(const Image& img, double zoom)
    {
        for (const Arm& arm : arms) {
            const Exact e = exact_pixel(arm.left, arm.right, zoom, width, height);
            const int ex = pixel_of(e.x), ey = pixel_of(e.y);
            const int sx = sgn(arm.left), sy = -sgn(arm.right);
            std::ostringstream what;
            what << "arm (" << arm.left << ", " << arm.right << ") at zoom " << zoom << ", end "
                 << static_cast<double>(e.x) << ", " << static_cast<double>(e.y);
            if (ex >= 0 && ex < width && ey >= 0 && ey < height) {
                // (A channel at 0 lands exactly on the centre line.)
                if (arm.left != 0) {
                    ASSERT_GT(boundary_distance(e.x), 1e-3L) << what.str() << ": pick another amplitude";
                }
                if (arm.right != 0) {
                    ASSERT_GT(boundary_distance(e.y), 1e-3L) << what.str() << ": pick another amplitude";
                }
                EXPECT_EQ(img.at(ex, ey), trace) << what.str();
                const int beyond[3][2] = {{sx, sy}, {sx, 0}, {0, sy}};
                for (const auto& d : beyond) {
                    const int bx = ex + d[0], by = ey + d[1];
                    if ((d[0] || d[1]) && bx >= 0 && bx < width && by >= 0 && by < height) {
                        EXPECT_EQ(img.at(bx, by), background)
                            << what.str() << ": lit beyond the end at " << bx << "," << by;
                    }
                }
            } else {
                // Out of the window: the arm runs to the border.
                bool reaches = false;
                for (const auto& [x, y] : trace_pixels(img)) {
                    const bool in_sector = sgn(x - width / 2) == sx && sgn(y - height / 2) == sy;
                    const bool on_border = x == 0 || y == 0 || x == width - 1 || y == height - 1;
                    reaches |= in_sector && on_border;
                }
                EXPECT_TRUE(reaches) << what.str() << ": does not reach the border";
            }
        }
    }

};

// Amplitudes from -48 dB to -11 dB, one per direction; all stay inside the
// window up to the default zoom.
const std::vector<Arm> sweep_arms = {
    {8847, 0},     // 0.27
    {-3932, 0},    // 0.12
    {0, 1966},     // 0.06
    {0, -6553},    // 0.20
    {491, 491},    // 0.015 on each channel
    {-2949, -2949},
    {8191, -8191},
    {-131, 131},
};

TEST_F(ScopeArms, FullScaleAtZoom0LandsOnTheBorderAnd0Point8991OfTheHalfSize)
{
    ASSERT_NO_FATAL_FAILURE(start_arms({"-xrm", "Zentaphon.Zoom: 0.0"},
                                       {{32767, 0},
                                        {-32767, 0},
                                        {0, 32767},
                                        {0, -32767},
                                        {32767, 32767},
                                        {-32767, -32767},
                                        {32767, -32767},
                                        {-32767, 32767}}));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    check_ends(img, 0.0);
    // A 16-bit full-scale sample is a shade below 1, so its radius is too:
    // the arm ends in the last column (radius 1 would be the first column
    // beyond the window) and in the first row.
    EXPECT_EQ(img.at(299, 150), trace);
    EXPECT_EQ(img.at(0, 150), trace);
    EXPECT_EQ(img.at(150, 0), trace);
    EXPECT_EQ(img.at(150, 299), trace);
    // Both channels at full scale: log2(1 + sqrt 2) / sqrt 2 = 0.8991 of
    // the half size along each axis, 150 +- 134.87.
    EXPECT_EQ(img.at(284, 15), trace);
    EXPECT_EQ(img.at(285, 14), background);
    EXPECT_EQ(img.at(15, 284), trace);
    EXPECT_EQ(img.at(284, 284), trace);
    EXPECT_EQ(img.at(15, 15), trace);
}

class ScopeZoom : public ScopeArms, public ::testing::WithParamInterface<double> {
};

TEST_P(ScopeZoom, RadiusFollowsTheLogLawForASweepOfAmplitudes)
{
    const double zoom = GetParam();
    std::vector<std::string> args;
    if (zoom != 6.0) {   // 6 dB is the default
        std::ostringstream r;
        r << "Zentaphon.Zoom: " << zoom;
        args = {"-xrm", r.str()};
    }
    ASSERT_NO_FATAL_FAILURE(start_arms(args, sweep_arms));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    check_ends(img, zoom);
}

INSTANTIATE_TEST_SUITE_P(Zooms, ScopeZoom, ::testing::Values(0.0, 6.0, 15.0));

// ---------------------------------------------------------------------------
// Exposes and resizes.

// A Lissajous figure looped from 256-frame files: every block the same.
class ScopeFigure : public ScopeWindow {
protected:
    std::vector<int> left, right;

    void start_figure(std::vector<std::string> args = {})
    {
        const double pi = 3.141592653589793;
        for (int i = 0; i < 256; ++i) {
            left.push_back(static_cast<int>(std::lround(0.3 * 32767 * std::sin(2 * pi * 3 * i / 256))));
            right.push_back(static_cast<int>(std::lround(0.3 * 32767 * std::sin(2 * pi * 5 * i / 256 + 0.5))));
        }
        ASSERT_TRUE(files.write("left.raw", raw_samples(left)));
        ASSERT_TRUE(files.write("right.raw", raw_samples(right)));
        ASSERT_NO_FATAL_FAILURE(
            start(args, "file:" + files.file("left.raw"), "file:" + files.file("right.raw")));
    }

    // The bounding box of the figure's points in a window of w x h at the
    // default zoom (the channel means of the loop are close to zero and
    // dcadjust is off).
    Rect expected_box(int w, int h) const
    {
        int x0 = 1 << 30, y0 = 1 << 30, x1 = -(1 << 30), y1 = -(1 << 30);
        for (size_t i = 0; i < left.size(); ++i) {
            const Exact e = exact_pixel(left[i], right[i], 6.0, w, h);
            x0 = std::min(x0, pixel_of(e.x));
            x1 = std::max(x1, pixel_of(e.x));
            y0 = std::min(y0, pixel_of(e.y));
            y1 = std::max(y1, pixel_of(e.y));
        }
        return Rect{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
    }

    Rect trace_box(const Image& img) const
    {
        int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
        for (const auto& [x, y] : trace_pixels(img)) {
            x0 = std::min(x0, x);
            x1 = std::max(x1, x);
            y0 = std::min(y0, y);
            y1 = std::max(y1, y);
        }
        return Rect{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
    }

    void expect_box(const Image& img, int w, int h)
    {
        const Rect want = expected_box(w, h), got = trace_box(img);
        EXPECT_NEAR(got.x, want.x, 1);
        EXPECT_NEAR(got.y, want.y, 1);
        EXPECT_NEAR(got.width, want.width, 2);
        EXPECT_NEAR(got.height, want.height, 2);
    }
};

bool same_pixels(const Image& a, const Image& b, Rect r)
{
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            if (a.at(x, y) != b.at(x, y))
                return false;
    return true;
}

TEST_F(ScopeFigure, AnExposeWhileStoppedRepaintsTheLastTraceOnlyInTheExposedRectangle)
{
    ASSERT_NO_FATAL_FAILURE(start_figure({"-dcadjust", "False"}));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const Image last = wait_trace();
    expect_box(last, 300, 300);
    ASSERT_NO_FATAL_FAILURE(stop_scope());
    // Stopped: the window keeps the last trace. (The Run toggle was drawn
    // off after the last block's copy, so that copy has been done.)
    ASSERT_TRUE(same_pixels(capture(dpy, drawing), last, last.bounds()));

    // Paint the whole window blue from outside, then expose one rectangle
    // of it: only that rectangle may come back, with the last trace.
    XColor blue_c, exact;
    ASSERT_TRUE(XAllocNamedColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), "blue", &blue_c, &exact));
    const uint32_t blue = colour(dpy, "blue");
    GC gc = XCreateGC(dpy, drawing, 0, nullptr);
    XSetForeground(dpy, gc, blue_c.pixel);
    XFillRectangle(dpy, drawing, gc, 0, 0, width, height);
    XFreeGC(dpy, gc);
    XSync(dpy, False);
    ASSERT_EQ(capture(dpy, drawing).count(blue), static_cast<size_t>(width * height));

    const Rect r{40, 70, 120, 90};
    ASSERT_GT(last.count(trace, r), 20u) << "the rectangle should hold part of the trace";
    XClearArea(dpy, drawing, r.x, r.y, r.width, r.height, True);
    XSync(dpy, False);
    Image img;
    ASSERT_TRUE(wait_until([&] {
        img = capture(dpy, drawing);
        return !img.empty() && same_pixels(img, last, r);
    })) << "the exposed rectangle never showed the last trace again";
    evidence->add("exposed", img);
    EXPECT_EQ(img.count(blue), static_cast<size_t>(width * height - r.width * r.height))
        << "pixels outside the exposed rectangle were painted";
    EXPECT_EQ(img.count(blue, r), 0u);
}

TEST_F(ScopeFigure, AfterAResizeOnlyTheBackgroundShowsUntilTheNextBlock)
{
    ASSERT_NO_FATAL_FAILURE(start_figure({"-dcadjust", "False"}));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    expect_box(wait_trace(), 300, 300);
    ASSERT_NO_FATAL_FAILURE(stop_scope());

    XResizeWindow(dpy, scope_shell, 420, 260);
    XSync(dpy, False);
    ASSERT_TRUE(wait_until([&] { return measure() && width == 420 && height == 260; }))
        << "drawing area is " << width << "x" << height;
    Image img;
    ASSERT_TRUE(wait_until([&] {
        img = capture(dpy, drawing);
        return all_background(img);
    })) << "the old trace, or something else, still shows after the resize";
    evidence->add("resized", img);

    // The next block fills the new size around the new centre.
    ASSERT_NO_FATAL_FAILURE(run_scope());
    img = wait_trace();
    EXPECT_TRUE(two_colours(img));
    expect_box(img, 420, 260);
    ASSERT_NO_FATAL_FAILURE(stop_scope());
}

// ---------------------------------------------------------------------------
// Closing the window as a window manager does.

TEST_F(ScopeWindow, ClosingTheWindowStopsSamplingWhenTheAnalyserDoesNotRun)
{
    ASSERT_NO_FATAL_FAILURE(start({}, bin_tone(47, "0.3"), "silence"));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    wait_trace();
    EXPECT_EQ(log_lines("close"), 0);

    ASSERT_TRUE(send_delete_window(dpy, scope_shell));
    EXPECT_TRUE(wait_for_window_gone(dpy, scope_title));
    EXPECT_TRUE(wait_until([&] { return log_lines("close") == 1; })) << log_text();
    EXPECT_TRUE(wait_until([&] { return !toggle_on(scope_run); })) << "Run still shown on";
    EXPECT_FALSE(toggle_on(analyser_run));
    EXPECT_TRUE(prog->running());

    // Setting Run again brings the window back and samples again.
    const int reads = log_lines("read");
    ASSERT_TRUE(click_centre(dpy, scope_run));
    EXPECT_NE(wait_for_window(dpy, scope_title), 0u);
    EXPECT_TRUE(wait_until([&] { return log_lines("open") == 2 && log_lines("read") > reads; }))
        << log_text();
    ASSERT_TRUE(raise_window(dpy, control));   // the dialog comes back over it
    EXPECT_TRUE(wait_until([&] { return toggle_on(scope_run); }));
}

TEST_F(ScopeWindow, ClosingTheWindowLeavesSamplingRunningForTheAnalyser)
{
    ASSERT_NO_FATAL_FAILURE(start({}, bin_tone(47, "0.3"), "silence"));
    ASSERT_TRUE(click_centre(dpy, analyser_run));
    ASSERT_TRUE(wait_until([&] { return toggle_on(analyser_run); }));
    ASSERT_NO_FATAL_FAILURE(run_scope());
    wait_trace();

    ASSERT_TRUE(send_delete_window(dpy, scope_shell));
    EXPECT_TRUE(wait_for_window_gone(dpy, scope_title));
    EXPECT_TRUE(wait_until([&] { return !toggle_on(scope_run); })) << "Run still shown on";
    // The device goes on being read, and was never closed.
    const int reads = log_lines("read");
    EXPECT_TRUE(wait_until([&] { return log_lines("read") >= reads + 10; })) << log_text();
    EXPECT_EQ(log_lines("close"), 0);
    EXPECT_EQ(log_lines("open"), 1);
    EXPECT_TRUE(toggle_on(analyser_run));
    EXPECT_FALSE(toggle_on(scope_run));
}

// ---------------------------------------------------------------------------
// Copying to the screen only while the window can be seen.

TEST_F(ScopeWindow, EachBlockIsOneFillOneLineThroughAllFramesAndOneCopy)
{
    ASSERT_NO_FATAL_FAILURE(start({}, "noise:1:0.3", "noise:2:0.3"));
    RequestRecorder rec(server.name(), drawing, drawing);
    ASSERT_TRUE(rec.ok()) << "no RECORD extension";
    ASSERT_NO_FATAL_FAILURE(run_scope());
    ASSERT_TRUE(wait_until([&] { return rec.copied_blocks_at_end() >= 5; })) << rec.summary();
    for (const Request& q : rec.requests()) {
        if (q.kind == 'L') {
            ASSERT_EQ(q.points, 2048);
        }
    }
    // Nothing but whole blocks, after the expose copies of the start.
    const std::string s = rec.summary();
    const size_t first = s.find('F');
    ASSERT_NE(first, std::string::npos);
    for (size_t i = first; i + 3 <= s.size(); i += 3)
        ASSERT_EQ(s.substr(i, 3), "FLC") << s;
}

TEST_F(ScopeWindow, IconifyingStopsTheCopyingButNotTheComputing)
{
    // One dot, off the centre, that moves outwards with the zoom.
    ASSERT_NO_FATAL_FAILURE(start({"-dcadjust", "False"}, "dc:5000", "dc:3000"));
    RequestRecorder rec(server.name(), drawing, drawing);
    ASSERT_TRUE(rec.ok()) << "no RECORD extension";
    ASSERT_NO_FATAL_FAILURE(run_scope());
    const auto p0 = trace_pixels(wait_trace());
    ASSERT_EQ(p0.size(), 1u);
    const Exact e0 = exact_pixel(5000, 3000, 6.0, 300, 300);
    EXPECT_EQ(p0[0], std::make_pair(pixel_of(e0.x), pixel_of(e0.y)));
    ASSERT_TRUE(wait_until([&] { return rec.copied_blocks_at_end() >= 3; })) << rec.summary();

    // Iconified: blocks are still drawn into the bitmap, none is copied.
    ASSERT_TRUE(iconify(dpy, scope_shell));
    ASSERT_TRUE(wait_until([&] { return rec.blocks_since_last_copy() >= 8; })) << rec.summary();

    // Visible again: every block is copied once more.
    ASSERT_TRUE(deiconify(dpy, scope_shell));
    ASSERT_TRUE(wait_viewable(dpy, drawing));
    EXPECT_TRUE(wait_until([&] { return rec.copied_blocks_at_end() >= 5; })) << rec.summary();

    // Iconified again, the zoom goes up and the scope is stopped: what the
    // window shows when it comes back was computed while nobody saw it.
    ASSERT_TRUE(iconify(dpy, scope_shell));
    ASSERT_TRUE(wait_until([&] { return rec.blocks_since_last_copy() >= 8; })) << rec.summary();
    const WindowInfo bar = window_info(dpy, zoom_bar);
    ASSERT_TRUE(click(dpy, zoom_bar, bar.width - 12, bar.height / 2));   // trough, right of the slider
    const int drawn = rec.blocks_since_last_copy();
    ASSERT_TRUE(wait_until([&] { return rec.blocks_since_last_copy() >= drawn + 8; })) << rec.summary();
    ASSERT_NO_FATAL_FAILURE(stop_scope());
    const size_t lines = rec.count('L'), copies = rec.count('C');

    ASSERT_TRUE(deiconify(dpy, scope_shell));
    const auto p1 = trace_pixels(wait_trace());
    ASSERT_EQ(p1.size(), 1u);
    EXPECT_EQ(rec.count('L'), lines) << "a block was drawn after the stop";
    EXPECT_GT(rec.count('C'), copies) << "the expose did not copy the bitmap";
    // Farther out along the same ray from the centre.
    const double d0x = p0[0].first - 150.0, d0y = p0[0].second - 150.0;
    const double d1x = p1[0].first - 150.0, d1y = p1[0].second - 150.0;
    EXPECT_GT(std::hypot(d1x, d1y), std::hypot(d0x, d0y) + 3.0)
        << "dot at " << p1[0].first << "," << p1[0].second << " was at " << p0[0].first << ","
        << p0[0].second;
    EXPECT_NEAR(std::atan2(d1y, d1x), std::atan2(d0y, d0x), 0.05);
}

TEST_F(ScopeWindow, CoveringTheWindowStopsTheCopyingCoveringItPartlyDoesNot)
{
    ASSERT_NO_FATAL_FAILURE(start({}, "noise:1:0.3", "noise:2:0.3"));
    RequestRecorder rec(server.name(), drawing, drawing);
    ASSERT_TRUE(rec.ok()) << "no RECORD extension";
    ASSERT_NO_FATAL_FAILURE(run_scope());
    wait_trace();
    ASSERT_TRUE(wait_until([&] { return rec.copied_blocks_at_end() >= 3; })) << rec.summary();

    {
        // A window over the middle, leaving a 40-pixel frame in sight: the
        // blocks go on being copied.
        Cover part(dpy, scope_shell, -40);
        ASSERT_TRUE(part.ok());
        const size_t lines = rec.count('L');
        ASSERT_TRUE(wait_until([&] { return rec.count('L') >= lines + 10; })) << rec.summary();
        EXPECT_GE(rec.copied_blocks_at_end(), 5) << rec.summary();
    }
    {
        // Fully covered: drawn but not copied.
        Cover all(dpy, scope_shell);
        ASSERT_TRUE(all.ok());
        ASSERT_TRUE(wait_until([&] { return rec.blocks_since_last_copy() >= 8; })) << rec.summary();
    }
    // Uncovered: copied again with every block.
    EXPECT_TRUE(wait_until([&] { return rec.copied_blocks_at_end() >= 5; })) << rec.summary();
    const Image img = wait_trace();
    EXPECT_TRUE(two_colours(img));
}

}  // namespace
