// Writes the files that an installation carries besides the program, made
// from the data the program itself compiles in, so there is never a second
// copy: the application-defaults file (the fallback resource lines) and the
// two icons as 48 x 48 XPM and PNG files.
//
//   make_install_files DIR   writes DIR/Zentaphon, DIR/zentaphon.xpm,
//                            DIR/zentaphon.png, DIR/zentaphon-scope.xpm and
//                            DIR/zentaphon-scope.png; exit status 1 on failure
#include "app/AppResources.h"
#include "app/Icons.h"

#include <X11/xpm.h>
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

bool write_app_defaults(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "error: Can't open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::fputs("! Application defaults for Zentaphon: the program's own fallback\n"
               "! resources. Without this file the program uses the same lines.\n",
               f);
    for (int i = 0; i < fallback_count; ++i)
        std::fprintf(f, "%s\n", fallback_resources[i]);
    const bool ok = std::fclose(f) == 0;
    if (!ok)
        std::fprintf(stderr, "error: Can't write %s: %s\n", path.c_str(), std::strerror(errno));
    return ok;
}

// An XPM colour as 8-bit red, green, blue and alpha. Only "#" forms and
// None are understood (the icons need no colour database); each component
// is scaled to 16 bits the way XParseColor does it and its high byte kept.
bool parse_colour(const char* text, unsigned char rgba[4])
{
    if (!text)
        return false;
    if (strcasecmp(text, "None") == 0) {
        rgba[0] = rgba[1] = rgba[2] = rgba[3] = 0;
        return true;
    }
    const size_t digits = std::strlen(text) - 1;
    if (text[0] != '#' || digits % 3 != 0 || digits < 3 || digits > 12 ||
        std::strspn(text + 1, "0123456789abcdefABCDEF") != digits)
        return false;
    const size_t n = digits / 3;
    for (size_t c = 0; c < 3; ++c) {
        const std::string part(text + 1 + c * n, n);
        const unsigned long v = std::strtoul(part.c_str(), nullptr, 16) << (16 - 4 * n);
        rgba[c] = static_cast<unsigned char>(v >> 8);
    }
    rgba[3] = 255;
    return true;
}

const char* colour_of(const XpmColor& c)
{
    return c.c_color ? c.c_color : c.g_color ? c.g_color : c.g4_color ? c.g4_color : c.m_color;
}

bool write_png(const XpmImage& xpm, const std::string& path)
{
    std::vector<unsigned char> table(xpm.ncolors * 4);
    for (unsigned i = 0; i < xpm.ncolors; ++i)
        if (!parse_colour(colour_of(xpm.colorTable[i]), &table[i * 4])) {
            std::fprintf(stderr, "error: Unknown icon colour %s\n",
                         colour_of(xpm.colorTable[i]) ? colour_of(xpm.colorTable[i]) : "(none)");
            return false;
        }
    std::vector<unsigned char> pixels(size_t(xpm.width) * xpm.height * 4);
    for (size_t p = 0; p < size_t(xpm.width) * xpm.height; ++p)
        std::memcpy(&pixels[p * 4], &table[xpm.data[p] * 4], 4);

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = xpm.width;
    image.height = xpm.height;
    image.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr)) {
        std::fprintf(stderr, "error: Can't write %s: %s\n", path.c_str(), image.message);
        return false;
    }
    return true;
}

// Writes NAME.xpm and NAME.png in dir from the program's XPM data.
bool write_icon(const char** data, const std::string& dir, const std::string& name)
{
    XpmImage xpm;
    if (XpmCreateXpmImageFromData(const_cast<char**>(data), &xpm, nullptr) != XpmSuccess) {
        std::fprintf(stderr, "error: Can't read the XPM data of %s\n", name.c_str());
        return false;
    }
    const std::string xpm_path = dir + "/" + name + ".xpm";
    bool ok = XpmWriteFileFromXpmImage(const_cast<char*>(xpm_path.c_str()), &xpm, nullptr) ==
              XpmSuccess;
    if (!ok)
        std::fprintf(stderr, "error: Can't write %s\n", xpm_path.c_str());
    ok = ok && write_png(xpm, dir + "/" + name + ".png");
    XpmFreeXpmImage(&xpm);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s directory\n", argv[0]);
        return 1;
    }
    const std::string dir = argv[1];
    const bool ok = write_app_defaults(dir + "/Zentaphon") &&
                    write_icon(spectrum_icon, dir, "zentaphon") &&
                    write_icon(scope_icon, dir, "zentaphon-scope");
    return ok ? 0 : 1;
}
