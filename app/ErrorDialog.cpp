// The error dialog. Standard error becomes a stdio stream of our own
// (fopencookie) whose every write goes straight on to file descriptor 2,
// so nothing is held back, even by an abort; complete lines that begin
// "error: " (or "error " without the colon) are kept and a work procedure
// shows them once the main loop is idle. The dialog holds them in a
// scrolled, read-only text of the last max_lines lines, scrolled to the
// newest, in at most max_rows rows and never more than the screen's height
// has room for. While the dialog is up new lines are appended; once
// dismissed, the next error replaces them.
#include "app/ErrorDialog.h"

#include "app/AppResources.h"
#include "app/Startup.h"

#include <Xm/MessageB.h>
#include <Xm/Text.h>
#include <Xm/Xm.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t line_size = 512;    // longer lines are cut for the dialog
constexpr int max_lines = 200;            // the dialog keeps the latest lines
constexpr int max_rows = 20;              // rows shown at once; the rest scroll
constexpr int columns = 80;

char line[line_size];
std::size_t line_length;
std::string pending;                      // lines not yet shown, each ending in '\n'
std::string shown;                        // the lines in the dialog, without the last '\n'
int shown_lines;
bool show_pending;                        // the work procedure is installed
bool dialog_on;                           // errorDialog is on: collected lines are shown
std::FILE* copy;                          // our stream, once made
std::FILE* terminal;                      // standard error before it, while start-up lines are collected
Widget dialog;
Widget text;

// Drops the oldest lines of shown beyond max_lines.
void keep_last_lines()
{
    std::size_t cut = 0;
    for (; shown_lines > max_lines; --shown_lines)
        cut = shown.find('\n', cut) + 1;
    shown.erase(0, cut);
}

// Rows for the text: its lines, at most max_rows, and no more than the
// screen leaves room for beside the dialog's title, margins and button.
short rows_for_screen()
{
    Screen* screen = XtScreen(main_window);
    const int line_height = 16;       // a generous row of the default font
    const int frame = 160;            // title, margins, separator, button
    const int fit = (HeightOfScreen(screen) - frame) / line_height;
    return static_cast<short>(std::max(1, std::min({shown_lines, max_rows, fit})));
}

void create_dialog()
{
    Arg args[2];
    XmString title = XmStringCreateLocalized(const_cast<char*>("Zentaphon: Error"));
    XtSetArg(args[0], XmNdialogTitle, title);
    XtSetArg(args[1], XmNdialogStyle, XmDIALOG_MODELESS);
    dialog = XmCreateErrorDialog(main_window, const_cast<char*>("ErrorDialog"), args, 2);
    XmStringFree(title);
    XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_CANCEL_BUTTON));
    XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_HELP_BUTTON));
    // The text says it all: no symbol, no message row above it.
    XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_SYMBOL_LABEL));
    XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_MESSAGE_LABEL));
    Arg targs[7];
    XtSetArg(targs[0], XmNeditMode, XmMULTI_LINE_EDIT);
    XtSetArg(targs[1], XmNeditable, False);
    XtSetArg(targs[2], XmNcursorPositionVisible, False);
    XtSetArg(targs[3], XmNcolumns, static_cast<short>(columns));
    XtSetArg(targs[4], XmNrows, static_cast<short>(1));
    XtSetArg(targs[5], XmNscrollHorizontal, False);
    XtSetArg(targs[6], XmNwordWrap, True);
    text = XmCreateScrolledText(dialog, const_cast<char*>("ErrorText"), targs, 7);
    XtManageChild(text);
}

Boolean show_errors(XtPointer)
{
    show_pending = false;
    if (!dialog)
        create_dialog();
    if (!XtIsManaged(dialog)) {
        shown.clear();
        shown_lines = 0;
    }
    for (char c : pending)
        shown_lines += c == '\n';
    if (!shown.empty())
        shown += '\n';
    shown.append(pending, 0, pending.size() - 1);   // without the final newline
    pending.clear();
    keep_last_lines();
    XtVaSetValues(text, XmNrows, rows_for_screen(), nullptr);
    XmTextSetString(text, const_cast<char*>(shown.c_str()));
    XmTextShowPosition(text, XmTextGetLastPosition(text));
    if (!XtIsManaged(dialog))
        XtManageChild(dialog);
    else
        XMapRaised(XtDisplay(dialog), XtWindow(XtParent(dialog)));
    return True;
}

void show_soon()
{
    if (!show_pending) {
        show_pending = true;
        XtAppAddWorkProc(app_context, show_errors, nullptr);
    }
}

bool is_error_line(const char* s, std::size_t n)
{
    return (n >= 7 && std::strncmp(s, "error: ", 7) == 0) || (n >= 6 && std::strncmp(s, "error ", 6) == 0);
}

void end_line()
{
    if (is_error_line(line, line_length)) {
        // Lines not yet shown are bounded too: only the last max_lines can show.
        pending.append(line, line_length);
        pending += '\n';
        if (pending.size() > 2 * max_lines * line_size)
            pending.erase(0, pending.find('\n', pending.size() - max_lines * line_size) + 1);
        if (dialog_on)
            show_soon();
    }
    line_length = 0;
}

ssize_t copy_write(void*, const char* buf, size_t size)
{
    for (size_t done = 0; done < size;) {
        const ssize_t w = write(STDERR_FILENO, buf + done, size - done);
        if (w <= 0)
            break;   // standard error itself has gone: the lines are still collected
        done += static_cast<size_t>(w);
    }
    for (size_t i = 0; i < size; ++i) {
        if (buf[i] == '\n')
            end_line();
        else if (line_length < line_size - 1)
            line[line_length++] = buf[i];
    }
    return static_cast<ssize_t>(size);
}

// Standard error becomes our stream; false when it cannot be made.
bool route_stderr()
{
    if (copy)
        return true;
    cookie_io_functions_t functions{};
    functions.write = copy_write;
    copy = fopencookie(nullptr, "w", functions);
    if (!copy)
        return false;
    std::setvbuf(copy, nullptr, _IONBF, 0);
    std::fflush(stderr);
    terminal = stderr;
    stderr = copy;
    return true;
}

} // namespace

void collect_start_up_errors()
{
    route_stderr();   // without a stream the dialog, if on, says so later
}

void install_error_dialog()
{
    if (!app_resources.errordialog) {
        if (copy) {   // standard error as it was, the start-up lines dropped
            stderr = terminal;
            std::fclose(copy);
            copy = nullptr;
            pending.clear();
        }
        return;
    }
    if (!route_stderr()) {
        std::fprintf(stderr, "error: cannot show errors in a dialog: no stream\n");
        return;
    }
    dialog_on = true;
    if (!pending.empty())
        show_soon();
}
