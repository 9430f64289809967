// Export of the spectrum. The CSV holds one line per component: its
// frequency as the maps compute it and the displayed level of each shown
// channel. The picture is drawn afresh into a pixmap by a full draw of each
// area, so a covered or partly off-screen window exports whole; in stereo
// the right channel's area lies below the left's, as on screen.
#include "analyser/AnalyserExport.h"

#include "analyser/Analyser.h"
#include "app/AppResources.h"
#include "app/Views.h"

#include <X11/Xutil.h>
#include <png.h>

#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

unsigned int shown_analysers()
{
    return app_resources.stereo ? 2 : 1;
}

// Levels as shown (in dBFS mode calibrated), then the reference's when
// it is shown.
bool write_csv(std::FILE* f, const void*)
{
    const unsigned int shown = shown_analysers();
    const bool reference = analysers[0].reference_shown;
    std::fputs(shown == 2 ? "frequency_hz,left_db,right_db" : "frequency_hz,level_db", f);
    if (reference)
        std::fputs(shown == 2 ? ",left_reference_db,right_reference_db" : ",reference_db", f);
    std::fputc('\n', f);
    const Analyser& a = analysers[0];
    for (unsigned int fc = 0; fc < a.num_fft; ++fc) {
        std::fprintf(f, "%.4f,%.4f", a.fc2f(fc), a.shown_level(a.level[fc]));
        if (shown == 2)
            std::fprintf(f, ",%.4f", analysers[1].shown_level(analysers[1].level[fc]));
        for (unsigned int i = 0; reference && i < shown; ++i) {
            const Analyser& r = analysers[i];
            const double d = r.reference_shown ? r.shown_level(r.reference[fc]) : 0.0;
            if (std::isnan(d))
                std::fputc(',', f);   // beyond the frequencies the reference covers
            else
                std::fprintf(f, ",%.4f", d);
        }
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
    // A failure's errno comes from the stream; the caller's line gives it.
    const bool ok = png_image_write_to_stdio(&image, f, 0, picture->rgb.get(), 0, nullptr) != 0;
    const int error = errno;
    png_image_free(&image);
    errno = error;
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

namespace {

// The permissions of a file created with 0666 under the process's umask.
mode_t user_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Writes the body into a new temporary file beside path, whose name goes
// to temp. False after the line naming path, with nothing left behind.
bool write_temporary(const std::string& path, bool (*write_body)(std::FILE* f, const void* data), const void* data,
                     std::string& temp)
{
    temp = path + ".XXXXXX";
    const int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        std::fprintf(stderr, "error: cannot write %s: %s\n", quoted_path(path).c_str(), std::strerror(errno));
        return false;
    }
    std::FILE* f = fchmod(fd, user_file_mode()) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!f) {
        std::fprintf(stderr, "error: cannot write %s: %s\n", quoted_path(path).c_str(), std::strerror(errno));
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    errno = 0;
    bool ok = write_body(f, data);
    const int body_errno = ok ? 0 : errno;
    errno = 0;
    ok = std::fflush(f) == 0 && ok && fsync(fd) == 0;
    const int write_errno = errno ? errno : body_errno;
    ok = std::fclose(f) == 0 && ok;
    if (ok)
        return true;
    const int e = write_errno ? write_errno : errno;
    std::fprintf(stderr, "error: cannot write %s: %s\n", quoted_path(path).c_str(),
                 e ? std::strerror(e) : "write failed");
    unlink(temp.c_str());
    return false;
}

// Gives the temporary file the name path unless that exists: 0, or errno
// (EEXIST when taken).
int claim_name(const std::string& temp, const std::string& path)
{
    if (link(temp.c_str(), path.c_str()) == 0)
        return 0;
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP)
        return errno;
    // No hard links on this file system: look first, then rename.
    if (access(path.c_str(), F_OK) == 0)
        return EEXIST;
    return std::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
}

} // namespace

std::string quoted_path(const std::string& path)
{
    for (char c : path)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("/._-+,:@%=", c))
            return "\"" + path + "\"";
    return path;
}

bool write_file_atomically(const char* path, bool (*write_body)(std::FILE* f, const void* data),
                           const void* data)
{
    std::string temp;
    if (!write_temporary(path, write_body, data, temp))
        return false;
    if (std::rename(temp.c_str(), path) == 0)
        return true;
    std::fprintf(stderr, "error: cannot write %s: %s\n", quoted_path(path).c_str(), std::strerror(errno));
    unlink(temp.c_str());
    return false;
}

bool write_files_together(const std::string& base, const ExportFile* files, std::size_t n, std::string& chosen)
{
    std::vector<std::string> temps(n);
    auto remove_temps = [&] {
        for (const std::string& t : temps)
            if (!t.empty())
                unlink(t.c_str());
    };
    for (std::size_t i = 0; i < n; ++i)
        if (!write_temporary(base + files[i].suffix, files[i].write_body, files[i].data, temps[i])) {
            temps[i].clear();
            remove_temps();
            return false;
        }
    for (int k = 1;; ++k) {
        chosen = k == 1 ? base : base + "-" + std::to_string(k);
        std::size_t named = 0;
        int error = 0;
        while (named < n && (error = claim_name(temps[named], chosen + files[named].suffix)) == 0)
            ++named;
        if (named == n) {
            remove_temps();
            return true;
        }
        for (std::size_t i = 0; i < named; ++i)
            unlink((chosen + files[i].suffix).c_str());
        if (error != EEXIST || k == 10000) {
            std::fprintf(stderr, "error: cannot write %s: %s\n", quoted_path(chosen + files[named].suffix).c_str(),
                         std::strerror(error));
            remove_temps();
            return false;
        }
    }
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

namespace {

void make_picture(Picture& picture, unsigned int width, unsigned int height, const unsigned char* rgb)
{
    std::memset(&picture.image, 0, sizeof picture.image);
    picture.image.version = PNG_IMAGE_VERSION;
    picture.image.format = PNG_FORMAT_RGB;
    picture.image.width = width;
    picture.image.height = height;
    picture.rgb = std::make_unique<png_byte[]>(PNG_IMAGE_SIZE(picture.image));
    std::memcpy(picture.rgb.get(), rgb, PNG_IMAGE_SIZE(picture.image));
}

} // namespace

bool write_png_file(const char* path, unsigned int width, unsigned int height, const unsigned char* rgb)
{
    Picture picture;
    make_picture(picture, width, height, rgb);
    return write_file_atomically(path, write_png, &picture);
}

bool write_csv_and_png(const std::string& base, bool (*write_csv_body)(std::FILE* f, const void* data),
                       const void* data, unsigned int width, unsigned int height, const unsigned char* rgb,
                       std::string& chosen)
{
    Picture picture;
    make_picture(picture, width, height, rgb);
    const ExportFile files[] = {{".csv", write_csv_body, data}, {".png", write_png, &picture}};
    return write_files_together(base, files, 2, chosen);
}

bool export_spectrum()
{
    const unsigned int shown = shown_analysers();
    for (unsigned int i = 0; i < shown; ++i)
        if (!analysers[i].initialised) {
            std::fprintf(stderr, "error: cannot export: the analyser has not been drawn yet\n");
            return false;
        }
    if (!analysers[0].has_block) {
        std::fprintf(stderr, "error: nothing to export yet: the analyser has not had a block (set Run first)\n");
        return false;
    }

    const std::string base = export_base();

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

    // Each open view's part goes with them (the measurements' values, the
    // spectrogram's picture).
    std::vector<ExportPart> parts;
    for (int i = 0; i < view_count; ++i) {
        if (!views[i].export_part || !views[i].open())
            continue;
        parts.emplace_back();
        if (!views[i].export_part(parts.back()))
            return false;
    }
    std::vector<Picture> pictures(parts.size());
    std::vector<ExportFile> files = {{".csv", write_csv, nullptr}, {".png", write_png, &picture}};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const ExportPart& p = parts[i];
        if (p.write_csv) {
            files.push_back({p.suffix, p.write_csv, nullptr});
        } else {
            make_picture(pictures[i], p.width, p.height, p.rgb.get());
            files.push_back({p.suffix, write_png, &pictures[i]});
        }
    }
    std::string chosen;
    if (!write_files_together(base, files.data(), files.size(), chosen))
        return false;
    std::fprintf(stderr, "spectrum exported to %s and %s\n", quoted_path(chosen + ".csv").c_str(),
                 quoted_path(chosen + ".png").c_str());
    for (const ExportPart& p : parts)
        std::fprintf(stderr, "%s exported to %s\n", p.what, quoted_path(chosen + p.suffix).c_str());
    return true;
}
