// Export of the spectrum. The CSV holds one line per component: its
// frequency as the maps compute it and the displayed level of each shown
// channel. The picture is drawn afresh into a pixmap by a full draw of each
// area, so a covered or partly off-screen window exports whole; in stereo
// the right channel's area lies below the left's, as on screen.
#include "analyser/AnalyserExport.h"

#include "analyser/Analyser.h"
#include "app/AppResources.h"

#include <X11/Xutil.h>
#include <png.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

unsigned int shown_analysers()
{
    return app_resources.stereo ? 2 : 1;
}

bool write_csv(std::FILE* f, const void*)
{
    const unsigned int shown = shown_analysers();
    std::fputs(shown == 2 ? "frequency_hz,left_db,right_db\n" : "frequency_hz,level_db\n", f);
    const Analyser& a = analysers[0];
    for (unsigned int fc = 0; fc < a.num_fft; ++fc) {
        std::fprintf(f, "%.4f,%.4f", a.fc2f(fc), a.level[fc]);
        if (shown == 2)
            std::fprintf(f, ",%.4f", analysers[1].level[fc]);
        std::fputc('\n', f);
    }
    return !std::ferror(f);
}

// The bit position and width of a colour mask, to widen a channel to 8 bits.
struct Channel {
    unsigned long mask;
    int shift = 0, bits = 0;
    explicit Channel(unsigned long m) : mask(m)
    {
        for (; m && !(m & 1); m >>= 1)
            ++shift;
        for (; m & 1; m >>= 1)
            ++bits;
    }
    png_byte value(unsigned long pixel) const
    {
        if (bits == 0)
            return 0;
        const unsigned long v = (pixel & mask) >> shift;
        const unsigned long top = (1ul << bits) - 1;
        return static_cast<png_byte>((v * 255 + top / 2) / top);
    }
};

struct Picture {
    png_image image;
    std::unique_ptr<png_byte[]> rgb;
};

// Draws analyser a into a pixmap of its size and copies it as RGB into
// rows starting at out.
bool draw_into(Analyser& a, png_byte* out)
{
    Display* d = a.display;
    const int screen = DefaultScreen(d);
    const Window window = a.window;
    const Pixmap pixmap = XCreatePixmap(d, window, a.width, a.height,
                                        static_cast<unsigned int>(DefaultDepth(d, screen)));
    a.window = pixmap;
    XRectangle all = {0, 0, static_cast<unsigned short>(a.width), static_cast<unsigned short>(a.height)};
    a.draw(all, true);
    a.window = window;
    const bool ok = read_picture(d, pixmap, a.width, a.height, out);
    XFreePixmap(d, pixmap);
    return ok;
}

bool write_png(std::FILE* f, const void* data)
{
    auto* picture = static_cast<const Picture*>(data);
    png_image image = picture->image;
    const bool ok = png_image_write_to_stdio(&image, f, 0, picture->rgb.get(), 0, nullptr) != 0;
    if (!ok)
        std::fprintf(stderr, "error: cannot write the picture: %s\n", image.message);
    png_image_free(&image);
    return ok;
}

} // namespace

bool read_picture(Display* d, Drawable source, unsigned int width, unsigned int height,
                  unsigned char* out)
{
    Visual* visual = DefaultVisual(d, DefaultScreen(d));
    if (visual->c_class != TrueColor && visual->c_class != DirectColor) {
        std::fprintf(stderr, "error: cannot export the picture: the display has no true-colour visual\n");
        return false;
    }
    XImage* img = XGetImage(d, source, 0, 0, width, height, AllPlanes, ZPixmap);
    if (!img) {
        std::fprintf(stderr, "error: cannot export the picture: the server gave no image\n");
        return false;
    }
    const Channel r(visual->red_mask), g(visual->green_mask), b(visual->blue_mask);
    for (unsigned int y = 0; y < height; ++y)
        for (unsigned int x = 0; x < width; ++x) {
            const unsigned long p = XGetPixel(img, static_cast<int>(x), static_cast<int>(y));
            unsigned char* o = out + (static_cast<size_t>(y) * width + x) * 3;
            o[0] = r.value(p);
            o[1] = g.value(p);
            o[2] = b.value(p);
        }
    XDestroyImage(img);
    return true;
}

bool write_file_atomically(const char* path, bool (*write_body)(std::FILE* f, const void* data),
                           const void* data)
{
    std::string temp = std::string(path) + ".XXXXXX";
    const int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        std::fprintf(stderr, "error: cannot write %s: %s\n", path, std::strerror(errno));
        return false;
    }
    std::FILE* f = fdopen(fd, "wb");
    if (!f) {
        std::fprintf(stderr, "error: cannot write %s: %s\n", path, std::strerror(errno));
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    bool ok = write_body(f, data);
    errno = 0;
    ok = std::fflush(f) == 0 && ok && fsync(fd) == 0;
    const int write_errno = errno;
    ok = std::fclose(f) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path) == 0)
        return true;
    const int e = write_errno ? write_errno : errno;
    std::fprintf(stderr, "error: cannot write %s: %s\n", path, e ? std::strerror(e) : "write failed");
    unlink(temp.c_str());
    return false;
}

std::string export_base()
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "zentaphon-%Y%m%d-%H%M%S", &local);
    return std::string(app_resources.exportdirectory) + "/" + stamp;
}

bool write_png_file(const char* path, unsigned int width, unsigned int height, const unsigned char* rgb)
{
    Picture picture;
    std::memset(&picture.image, 0, sizeof picture.image);
    picture.image.version = PNG_IMAGE_VERSION;
    picture.image.format = PNG_FORMAT_RGB;
    picture.image.width = width;
    picture.image.height = height;
    picture.rgb = std::make_unique<png_byte[]>(PNG_IMAGE_SIZE(picture.image));
    std::memcpy(picture.rgb.get(), rgb, PNG_IMAGE_SIZE(picture.image));
    return write_file_atomically(path, write_png, &picture);
}

bool export_spectrum()
{
    const unsigned int shown = shown_analysers();
    for (unsigned int i = 0; i < shown; ++i)
        if (!analysers[i].initialised) {
            std::fprintf(stderr, "error: cannot export: the analyser has not been drawn yet\n");
            return false;
        }

    const std::string base = export_base();
    const std::string csv = base + ".csv", png = base + ".png";

    Picture picture;
    std::memset(&picture.image, 0, sizeof picture.image);
    picture.image.version = PNG_IMAGE_VERSION;
    picture.image.format = PNG_FORMAT_RGB;
    picture.image.width = analysers[0].width;
    for (unsigned int i = 0; i < shown; ++i)
        picture.image.height += analysers[i].height;
    if (shown == 2 && analysers[1].width != analysers[0].width) {
        std::fprintf(stderr, "error: cannot export the picture: the areas differ in width\n");
        return false;
    }
    picture.rgb = std::make_unique<png_byte[]>(PNG_IMAGE_SIZE(picture.image));
    png_byte* rows = picture.rgb.get();
    for (unsigned int i = 0; i < shown; ++i) {
        if (!draw_into(analysers[i], rows))
            return false;
        rows += static_cast<size_t>(analysers[i].width) * analysers[i].height * 3;
    }

    if (!write_file_atomically(csv.c_str(), write_csv, nullptr))
        return false;
    if (!write_file_atomically(png.c_str(), write_png, &picture))
        return false;
    std::fprintf(stderr, "spectrum exported to %s and %s\n", csv.c_str(), png.c_str());
    return true;
}
