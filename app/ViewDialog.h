// The dialogs of the views and of the help: made on first use, then only
// shown, hidden and raised, never destroyed.
#pragma once

#include <X11/Intrinsic.h>

// Shows key, the key that does the same in the window, at the right of
// the menu entry item (its accelerator text).
void show_menu_key(Widget item, const char* key);

// Makes the dialog with create when there is none yet, then shows it:
// manages it, or, managed already, maps and raises its shell.
void show_dialog(Widget& dialog, void (*create)());

// A view's form dialog, child of the main window, with its shell's icon,
// watched for the rest of the run: *visible is 1 while the shell is mapped
// and not fully obscured, else 0 (the view draws its blocks only then);
// closing the shell through the window manager unmanages the dialog, then
// calls closed.
Widget create_view_dialog(const char* name, Pixmap icon, Pixmap icon_mask, int* visible,
                          void (*closed)());
