// Export of the analysers' spectrum: a CSV file of the levels as displayed
// and a PNG picture of the drawing areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <X11/Xlib.h>

// Writes zentaphon-YYYYMMDD-HHMMSS.csv and .png into exportDirectory and
// names them in one line on standard error; false after one "error: " line.
// A name already taken gets the suffix -2, -3, ... instead of being
// overwritten; both files are written or neither.
// Each open view's part too (with the "Measurements" window open
// zentaphon-...-measurements.csv, with the spectrogram -spectrogram.png),
// each named in a line of its own.
bool export_spectrum();

// One file of a set written together: the name's ending (".csv") and what
// goes into it.
struct ExportFile {
    const char* suffix;
    bool (*write_body)(std::FILE* f, const void* data);
    const void* data;
};

// Writes the n files base + suffix, all or none, each through a temporary
// name and created with the permissions the umask leaves of 0666. The
// first of base, base-2, base-3, ... for which no file of the set exists
// yet is taken, never overwriting one; chosen receives it. False after one
// "error: " line with the system's reason, and nothing left behind.
bool write_files_together(const std::string& base, const ExportFile* files, std::size_t n, std::string& chosen);

// A path as messages show it: in double quotes when it holds anything but
// letters, digits and "/._-+,:@%=".
std::string quoted_path(const std::string& path);

// Writes a file through a temporary name in the same directory that is
// renamed to path once complete; write_body gets the open stream and says
// whether it succeeded. False after one "error: " line, and no file left
// under either name.
bool write_file_atomically(const char* path, bool (*write_body)(std::FILE* f, const void* data),
                           const void* data);

// The export directory and "zentaphon-YYYYMMDD-HHMMSS", the base name of
// an export made now.
std::string export_base();

// The width x height picture in source as RGB bytes (3 per pixel, rows
// top down) into out. False after one "error: " line.
bool read_picture(Display* display, Drawable source, unsigned int width, unsigned int height,
                  unsigned char* out);

// Writes base.csv (from write_csv_body) and base.png (width x height RGB
// bytes) as write_files_together does; chosen receives the base taken.
bool write_csv_and_png(const std::string& base, bool (*write_csv_body)(std::FILE* f, const void* data),
                       const void* data, unsigned int width, unsigned int height, const unsigned char* rgb,
                       std::string& chosen);

// Writes width x height RGB bytes as a PNG file, atomically.
bool write_png_file(const char* path, unsigned int width, unsigned int height, const unsigned char* rgb);
