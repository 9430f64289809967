// The error dialog. Standard error becomes a stdio stream of our own
// (fopencookie) whose every write goes straight on to file descriptor 2,
// so nothing is held back, even by an abort; complete lines that begin
// "error: " are kept and a work procedure shows them once the main loop
// is idle. While the dialog is up new lines are appended to its text;
// once dismissed, the next error replaces it.
#include "app/ErrorDialog.h"

#include "app/AppResources.h"
#include "app/Startup.h"

#include <Xm/MessageB.h>
#include <Xm/Xm.h>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr std::size_t line_size = 512;    // longer lines are cut for the dialog
constexpr std::size_t text_size = 4096;   // the dialog keeps the latest lines within this

char line[line_size];
std::size_t line_length;
char pending[text_size];                  // lines not yet shown
std::size_t pending_length;
bool show_pending;                        // the work procedure is installed
Widget dialog;

// Keeps the last lines of text within text_size - 1 characters.
void append_bounded(char* text, std::size_t& length, const char* add, std::size_t n)
{
    if (n >= text_size - 1) {
        add += n - (text_size - 2);
        n = text_size - 2;
    }
    if (length + n >= text_size) {
        std::size_t drop = length + n - (text_size - 1);
        const char* nl = static_cast<const char*>(std::memchr(text + drop, '\n', length - drop));
        drop = nl ? static_cast<std::size_t>(nl - text) + 1 : length;
        std::memmove(text, text + drop, length - drop);
        length -= drop;
    }
    std::memcpy(text + length, add, n);
    length += n;
    text[length] = '\0';
}

Boolean show_errors(XtPointer)
{
    show_pending = false;
    if (!dialog) {
        Arg args[2];
        XmString title = XmStringCreateLocalized(const_cast<char*>("Zentaphon: Error"));
        XtSetArg(args[0], XmNdialogTitle, title);
        XtSetArg(args[1], XmNdialogStyle, XmDIALOG_MODELESS);
        dialog = XmCreateErrorDialog(main_window, const_cast<char*>("ErrorDialog"), args, 2);
        XmStringFree(title);
        XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_CANCEL_BUTTON));
        XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_HELP_BUTTON));
    }
    static char shown[text_size];
    static std::size_t shown_length;
    if (!XtIsManaged(dialog))
        shown_length = 0;
    // Without the final newline, the message box adds no empty line.
    std::size_t n = pending_length;
    if (shown_length > 0)
        append_bounded(shown, shown_length, "\n", 1);
    append_bounded(shown, shown_length, pending, n > 0 && pending[n - 1] == '\n' ? n - 1 : n);
    pending_length = 0;
    XmString text = XmStringCreateLtoR(shown, const_cast<char*>(XmFONTLIST_DEFAULT_TAG));
    XtVaSetValues(dialog, XmNmessageString, text, nullptr);
    XmStringFree(text);
    if (!XtIsManaged(dialog))
        XtManageChild(dialog);
    else
        XMapRaised(XtDisplay(dialog), XtWindow(XtParent(dialog)));
    return True;
}

void end_line()
{
    if (line_length >= 7 && std::strncmp(line, "error: ", 7) == 0) {
        append_bounded(pending, pending_length, line, line_length);
        append_bounded(pending, pending_length, "\n", 1);
        if (!show_pending) {
            show_pending = true;
            XtAppAddWorkProc(app_context, show_errors, nullptr);
        }
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

} // namespace

void install_error_dialog()
{
    if (!app_resources.errordialog)
        return;
    cookie_io_functions_t functions{};
    functions.write = copy_write;
    std::FILE* copy = fopencookie(nullptr, "w", functions);
    if (!copy) {
        std::fprintf(stderr, "error: cannot show errors in a dialog: no stream\n");
        return;
    }
    std::setvbuf(copy, nullptr, _IONBF, 0);
    std::fflush(stderr);
    stderr = copy;
}
