// Reading pixels back from the server, colours, PNG files, and the
// evidence a failed test leaves behind.
#include "gui/harness/GuiHarness.h"

#include <X11/Xutil.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace harness {

namespace {

// One colour channel of a pixel value, scaled to 8 bits.
uint32_t channel(unsigned long pixel, unsigned long mask)
{
    if (mask == 0)
        return 0;
    int shift = 0;
    while (!(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    int bits = 0;
    while (mask & (1ul << bits))
        ++bits;
    unsigned long v = (pixel >> shift) & mask;
    if (bits >= 8)
        return uint32_t(v >> (bits - 8));
    // Fewer than 8 bits: scale so that full scale stays 0xFF.
    return uint32_t(v * 255 / ((1ul << bits) - 1));
}

uint32_t rgb_of(const Visual* visual, unsigned long pixel)
{
    return channel(pixel, visual->red_mask) << 16 | channel(pixel, visual->green_mask) << 8 |
           channel(pixel, visual->blue_mask);
}

std::string safe(std::string s)
{
    for (char& c : s)
        if (c == '/' || c == ' ')
            c = '_';
    return s;
}

}  // namespace

Image::Image(int width, int height, uint32_t fill)
    : width_(std::max(width, 0)), height_(std::max(height, 0)),
      pixels_(size_t(width_) * size_t(height_), fill)
{
}

Rect Image::clip(Rect r) const
{
    int x0 = std::max(r.x, 0), y0 = std::max(r.y, 0);
    int x1 = std::min(r.x + r.width, width_), y1 = std::min(r.y + r.height, height_);
    return Rect{x0, y0, std::max(x1 - x0, 0), std::max(y1 - y0, 0)};
}

size_t Image::count(uint32_t rgb, Rect r) const
{
    r = clip(r);
    size_t n = 0;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            n += at(x, y) == rgb;
    return n;
}

size_t Image::count_other(uint32_t rgb, Rect r) const
{
    Rect c = clip(r);
    return size_t(c.width) * size_t(c.height) - count(rgb, c);
}

std::map<uint32_t, size_t> Image::histogram(Rect r) const
{
    r = clip(r);
    std::map<uint32_t, size_t> h;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            ++h[at(x, y)];
    return h;
}

Image Image::crop(Rect r) const
{
    r = clip(r);
    Image out(r.width, r.height);
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            out.set(x, y, at(r.x + x, r.y + y));
    return out;
}

bool Image::save_png(const std::string& path) const
{
    if (empty())
        return false;
    std::vector<png_byte> rgb(pixels_.size() * 3);
    for (size_t i = 0; i < pixels_.size(); ++i) {
        rgb[3 * i] = png_byte(pixels_[i] >> 16);
        rgb[3 * i + 1] = png_byte(pixels_[i] >> 8);
        rgb[3 * i + 2] = png_byte(pixels_[i]);
    }
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = png_uint_32(width_);
    img.height = png_uint_32(height_);
    img.format = PNG_FORMAT_RGB;
    bool ok = png_image_write_to_file(&img, path.c_str(), 0, rgb.data(), 0, nullptr);
    png_image_free(&img);
    return ok;
}

Image Image::load_png(const std::string& path)
{
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str()))
        return Image();
    img.format = PNG_FORMAT_RGB;
    std::vector<png_byte> rgb(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, rgb.data(), 0, nullptr)) {
        png_image_free(&img);
        return Image();
    }
    Image out(int(img.width), int(img.height));
    for (size_t i = 0; i < out.pixels_.size(); ++i)
        out.pixels_[i] = uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
    return out;
}

Image capture(Display* dpy, Window w)
{
    XErrorTrap trap(dpy);
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, w, &a) || trap.failed())
        return Image();
    return capture(dpy, w, Rect{0, 0, a.width, a.height});
}

Image capture(Display* dpy, Window w, Rect r)
{
    XErrorTrap trap(dpy);
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, w, &a) || trap.failed() || a.map_state != IsViewable)
        return Image();
    int x0 = std::max(r.x, 0), y0 = std::max(r.y, 0);
    int x1 = std::min(r.x + r.width, a.width), y1 = std::min(r.y + r.height, a.height);
    if (x1 <= x0 || y1 <= y0)
        return Image();
    XImage* xi = XGetImage(dpy, w, x0, y0, unsigned(x1 - x0), unsigned(y1 - y0), AllPlanes, ZPixmap);
    if (!xi || trap.failed()) {
        if (xi)
            XDestroyImage(xi);
        return Image();
    }
    Image out(x1 - x0, y1 - y0);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            out.set(x, y, rgb_of(a.visual, XGetPixel(xi, x, y)));
    XDestroyImage(xi);
    return out;
}

uint32_t pixel_to_rgb(Display* dpy, unsigned long pixel)
{
    return rgb_of(DefaultVisual(dpy, DefaultScreen(dpy)), pixel);
}

uint32_t colour(Display* dpy, const char* name)
{
    Colormap cmap = DefaultColormap(dpy, DefaultScreen(dpy));
    XColor c{};
    if (!XParseColor(dpy, cmap, name, &c))
        return no_colour;
    // The pixel the program gets for this name, read back as RGB.
    if (XAllocColor(dpy, cmap, &c))
        return pixel_to_rgb(dpy, c.pixel);
    return uint32_t(c.red >> 8) << 16 | uint32_t(c.green >> 8) << 8 | uint32_t(c.blue >> 8);
}

bool shows_colour(Display* dpy, Window w, uint32_t rgb)
{
    return capture(dpy, w).contains(rgb);
}

std::string failure_dir()
{
    const char* dir = std::getenv("ZEN_FAILURE_DIR");
    return dir && *dir ? dir : ".";
}

static std::string current_test()
{
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info())
        return std::string(info->test_suite_name()) + "." + info->name();
    return "test";
}

static std::string path_for(const std::string& test, const std::string& label,
                            const std::string& ext)
{
    return failure_dir() + "/" + safe(test) + "-" + safe(label) + "." + ext;
}

static std::string save_image_as(const std::string& path, const Image& img)
{
    if (!img.save_png(path))
        return std::string();
    std::cerr << "saved " << path << "\n";
    return path;
}

static void save_text_as(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    if (out)
        std::cerr << "saved " << path << "\n";
}

std::string failure_path(const std::string& label, const std::string& ext)
{
    return path_for(current_test(), label, ext);
}

std::string save_failure_image(const Image& img, const std::string& label)
{
    return save_image_as(failure_path(label, "png"), img);
}

// Hears of every failed assertion while a SaveOnFailure exists, so the
// screen is saved as it was when the test first failed, not after the test
// has gone on to close its windows. It is called with gtest's lock held, so
// nothing it does may ask gtest anything (hence the stored test name).
class SaveOnFailure::Listener : public ::testing::EmptyTestEventListener {
public:
    explicit Listener(SaveOnFailure& owner) : owner_(owner) {}
    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (result.failed())
            owner_.save_screen();
    }

private:
    SaveOnFailure& owner_;
};

SaveOnFailure::SaveOnFailure(const XServer& server, const std::string& tag)
    : server_(server), test_(current_test() + (tag.empty() ? "" : "." + tag))
{
    listener_ = new Listener(*this);
    ::testing::UnitTest::GetInstance()->listeners().Append(listener_);
}

void SaveOnFailure::add(const std::string& label, const Image& img)
{
    images_.emplace_back(label, img);
}

void SaveOnFailure::add(const std::string& label, const Program& prog)
{
    programs_.emplace_back(label, &prog);
}

void SaveOnFailure::save_screen()
{
    if (screen_saved_)
        return;
    screen_saved_ = true;
    Display* dpy = server_.display();
    if (!dpy)
        return;
    save_image_as(path_for(test_, "screen", "png"), capture(dpy, server_.root()));
    std::string trees;
    for (Window top : top_levels(dpy))
        if (is_viewable(dpy, top))
            trees += dump_tree(dpy, top) + "\n";
    save_text_as(path_for(test_, "windows", "txt"), trees);
}

SaveOnFailure::~SaveOnFailure()
{
    delete ::testing::UnitTest::GetInstance()->listeners().Release(listener_);
    if (!::testing::Test::HasFailure())
        return;
    save_screen();
    for (const auto& [label, img] : images_)
        save_image_as(path_for(test_, label, "png"), img);
    for (const auto& [label, prog] : programs_)
        save_text_as(path_for(test_, label, "txt"), prog->stderr_text());
}

}  // namespace harness
