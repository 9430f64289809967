// Export of the analysers' spectrum: a CSV file of the levels as displayed
// and a PNG picture of the drawing areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <X11/Xlib.h>

// Writes zentaphon-YYYYMMDD-HHMMSS.csv and .png into exportDirectory and
// names them in one line on standard error; false after one "error: " line.
bool export_spectrum();

// Writes a file through a temporary name in the same directory that is
// renamed to path once complete; write_body gets the open stream and says
// whether it succeeded. False after one "error: " line, and no file left
// under either name.
bool write_file_atomically(const char* path, bool (*write_body)(std::FILE* f, const void* data),
                           const void* data);

// Reads a width x height drawable of the default visual as 8-bit RGB rows
// (3 bytes a pixel) into out; false after one "error: " line (no
// true-colour visual, no image).
bool read_rgb(Display* d, Drawable from, unsigned int width, unsigned int height, unsigned char* out);

// Writes RGB rows as a PNG file through a temporary name; false after one
// "error: " line.
bool write_rgb_png(const char* path, unsigned int width, unsigned int height, const unsigned char* rgb);
