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
bool export_spectrum();

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

// Writes width x height RGB bytes as a PNG file, atomically.
bool write_png_file(const char* path, unsigned int width, unsigned int height, const unsigned char* rgb);
