// The help dialog: a fixed read-only text, built on first use and kept.
#pragma once

#include <X11/Intrinsic.h>

extern Widget help_dialog;
extern const char* help_text[];   // 52 lines and a null entry

void show_help_window();
void create_help_window();
