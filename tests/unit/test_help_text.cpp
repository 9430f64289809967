// The help text, and the help window built from it on a private Xvfb server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <X11/Intrinsic.h>
#include <X11/Shell.h>
#include <Xm/DialogS.h>
#include <Xm/Form.h>
#include <Xm/PushB.h>
#include <Xm/Text.h>
#include <Xm/Xm.h>

#include "app/HelpWindow.h"
#include "app/Icons.h"
#include "app/Startup.h"
#include "tests/unit/private_display.h"

namespace {

// The fixed lines of the help text, numbered from 1; nullptr marks the lines
// whose wording is ours (the authorship notice and the licence notice).
const char* const given[53] = {
    nullptr,  // no line 0
    "",
    "\t     Zentaphon - A frequence spectrum analyser for X Window",
    "\t\t\t      Version 1.32",
    "",
    nullptr,
    "",
    "",
    "",
    "Source:",
    "",
    "  The source is either the soundcard or a diskfile. The name of the diskfile",
    "  can only be specified on the commandline.",
    "",
    "",
    "Frequency Spectrum:",
    "",
    "  The frequency analyser showes the frequency spectrum of the source, either",
    "  separately for both channels or together.",
    "",
    "  The sampled data are windowed with a gaussian exponential function. This",
    "  function has a single parameter called alpha. A small value gives very sharp",
    "  peaks but also much noise over a wide frequence range. A bigger value",
    "  reduces this noise but also makes the peaks wider. You can best study the",
    "  effect with a sine wave (e.g. audio test CD).",
    "",
    "XY Scope:",
    "",
    "  Roughly speaking the XY scope draws a plots where the left channel is used",
    "  for the x axis and the right channel for the y axis. Thus a audio signal",
    "  only present on the left channel produces a horizontal line, whereas a audio",
    "  signal only present on the right channel produces a vertical line.",
    "",
    "  This is very useful to check if a signal is mono or stereo. A mono signal",
    "  procedures a thin line from the left bottom to the right top. A stereo",
    "  signal gives a very wide line or even fills the entire scope. (Just check it",
    "  out.)",
    "",
};

// Number of entries before the null one, -1 if none within a generous bound.
int count_lines()
{
    for (int i = 0; i < 1000; i++)
        if (help_text[i] == nullptr)
            return i;
    return -1;
}

std::string line(int number)
{
    return help_text[number - 1];
}

// Width in character cells, tabs stopping at every eighth column.
size_t columns(const std::string& s)
{
    size_t col = 0;
    for (char ch : s)
        col = ch == '\t' ? (col / 8 + 1) * 8 : col + 1;
    return col;
}

}  // namespace

TEST(HelpTextTable, FiftyTwoLinesWithoutLineBreaksThenNull)
{
    ASSERT_EQ(count_lines(), 52);
    for (int n = 1; n <= 52; n++)
        EXPECT_EQ(line(n).find_first_of("\r\n"), std::string::npos) << "line " << n;
}

TEST(HelpTextTable, FixedLinesStandExactlyAsWritten)
{
    ASSERT_EQ(count_lines(), 52);
    for (int n = 1; n <= 37; n++) {
        if (given[n] != nullptr) {
            EXPECT_EQ(line(n), given[n]) << "line " << n;
        }
    }
    // The two title lines, byte by byte where it is easiest to get wrong.
    EXPECT_EQ(line(2).substr(0, 7), "\t     Z");
    EXPECT_EQ(line(3).substr(0, 10), "\t\t\t      V");
}

TEST(HelpTextTable, AuthorshipNoticeMatchesTheLicenceFile)
{
    ASSERT_EQ(count_lines(), 52);
    std::ifstream licence(std::string(ZEN_SOURCE_DIR) + "/LICENSE");
    std::string copyright;
    while (std::getline(licence, copyright) && copyright.rfind("Copyright (C) 2026 ", 0) != 0) {
    }
    ASSERT_EQ(copyright.rfind("Copyright (C) 2026 ", 0), 0u) << "no copyright line in LICENSE";
    EXPECT_EQ(line(5), "\t\t   " + copyright);
}

TEST(HelpTextTable, LicenceNoticeStatesTheMitTermsInShape)
{
    ASSERT_EQ(count_lines(), 52);
    // Heading, empty line, paragraphs of 4, 3 and 3 lines between empty
    // lines, closing empty line; paragraphs indented by two blanks.
    EXPECT_EQ(line(38), "License:");
    for (int n : {39, 44, 48, 52})
        EXPECT_EQ(line(n), "") << "line " << n;
    std::string notice;
    for (int n : {40, 41, 42, 43, 45, 46, 47, 49, 50, 51}) {
        EXPECT_EQ(line(n).find_first_not_of(' '), 2u) << "line " << n;
        EXPECT_EQ(line(n).find('\t'), std::string::npos) << "line " << n;
        notice += line(n) + " ";
    }
    for (char& ch : notice)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    // The grant, the one condition, no warranty and no liability.
    for (const char* words : {"mit license", "free of charge", "use", "copy", "modify", "merge",
                              "publish", "distribute", "sublicense", "sell", "copyright notice",
                              "permission notice", "substantial portions", "\"as is\"",
                              "without warranty", "liable"})
        EXPECT_NE(notice.find(words), std::string::npos) << words;
}

TEST(HelpTextTable, OurLinesAreNoWiderThanTheGivenOnes)
{
    ASSERT_EQ(count_lines(), 52);
    size_t widest = 0;
    for (int n = 1; n <= 37; n++)
        widest = std::max(widest, given[n] ? columns(given[n]) : 0);
    EXPECT_EQ(widest, 78u);
    for (int n = 5; n <= 52; n = n == 5 ? 38 : n + 1)
        EXPECT_LE(columns(line(n)), widest) << "line " << n;
}

// ---------------------------------------------------------------------------
// The help window, on a private Xvfb server.

namespace {

// Handles the incoming events until the condition holds or the time is up.
template <class Condition>
bool process_until(Condition condition, int milliseconds = 2000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        XSync(XtDisplay(toplevel), False);
        while (XtAppPending(app_context) & XtIMXEvent)
            XtAppProcessEvent(app_context, XtIMXEvent);
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Widget shell()
{
    return XtParent(help_dialog);
}

bool shell_viewable()
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(XtDisplay(shell()), XtWindow(shell()), &attributes) &&
           attributes.map_state == IsViewable;
}

std::string shown_text()
{
    char* s = XmTextGetString(XtNameToWidget(help_dialog, "*HelpText"));
    std::string text = s ? s : "";
    XtFree(s);
    return text;
}

// Every line followed by a line break; the given lines from our own table.
std::string expected_text()
{
    std::string text;
    for (int n = 1; n <= 52; n++)
        text += (n <= 37 && given[n] ? std::string(given[n]) : line(n)) + "\n";
    return text;
}

// Position of a top-level window in the stacking order, bottom first.
int stacking_index(Window window)
{
    Display* display = XtDisplay(toplevel);
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    int index = -1;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; i++)
        if (children[i] == window)
            index = static_cast<int>(i);
    XFree(children);
    return index;
}

bool destroyed = false;

}  // namespace

// The window's life in order, each step building on the one before.
TEST(HelpWindow, BuiltOnFirstShowThenHiddenShownAndRaised)
{
    ASSERT_EQ(count_lines(), 52);
    ASSERT_TRUE(private_display::started()) << "no Xvfb server";
    Display* display = XtDisplay(toplevel);

    // Not there until first asked for; then a form dialog on screen.
    EXPECT_EQ(help_dialog, nullptr);
    show_help_window();
    ASSERT_NE(help_dialog, nullptr);
    Widget dialog = help_dialog;
    XtAddCallback(dialog, XmNdestroyCallback, [](Widget, XtPointer, XtPointer) { destroyed = true; },
                  nullptr);
    EXPECT_TRUE(XtIsManaged(dialog));
    EXPECT_STREQ(XtName(dialog), "Help");
    EXPECT_TRUE(XmIsForm(dialog));
    EXPECT_TRUE(XmIsDialogShell(shell()));
    EXPECT_STREQ(XtName(shell()), "Help_popup");
    EXPECT_EQ(XtParent(shell()), main_window);
    EXPECT_TRUE(process_until(shell_viewable));

    // Title from the fallback resources, the spectrum icon from start-up.
    String title = nullptr;
    Pixmap icon = None, mask = 1;
    XtVaGetValues(shell(), XtNtitle, &title, XtNiconPixmap, &icon, XtNiconMask, &mask, nullptr);
    EXPECT_STREQ(title, "Zentaphon: Help");
    EXPECT_NE(icon, static_cast<Pixmap>(None));
    EXPECT_EQ(icon, spectrum_icon_pixmap);
    EXPECT_EQ(mask, static_cast<Pixmap>(None));

    // The text: every line with its line break, read-only, no cursor, shown
    // from its start, 500 x 450.
    Widget text = XtNameToWidget(dialog, "*HelpText");
    ASSERT_NE(text, nullptr);
    ASSERT_TRUE(XmIsText(text));
    EXPECT_EQ(shown_text(), expected_text());
    EXPECT_EQ(shown_text().substr(0, 2), "\n\t");
    EXPECT_EQ(shown_text().substr(shown_text().size() - 3), ".\n\n");
    Boolean editable = True, cursor = True;
    int mode = -1;
    Dimension width = 0, height = 0;
    XtVaGetValues(text, XmNeditable, &editable, XmNcursorPositionVisible, &cursor, XmNeditMode,
                  &mode, XmNwidth, &width, XmNheight, &height, nullptr);
    EXPECT_FALSE(editable);
    EXPECT_FALSE(cursor);
    EXPECT_EQ(mode, XmMULTI_LINE_EDIT);
    EXPECT_EQ(width, 500);
    EXPECT_EQ(height, 450);
    EXPECT_EQ(XmTextGetTopCharacter(text), 0);

    // "Close", across the middle fifth at the bottom, hides the window.
    Widget close = XtNameToWidget(dialog, "Close");
    ASSERT_NE(close, nullptr);
    ASSERT_TRUE(XmIsPushButton(close));
    int left = 0, right = 0, offset = 0;
    XtVaGetValues(close, XmNleftPosition, &left, XmNrightPosition, &right, XmNbottomOffset, &offset,
                  nullptr);
    EXPECT_EQ(left, 40);
    EXPECT_EQ(right, 60);
    EXPECT_EQ(offset, 10);
    XmPushButtonCallbackStruct activate{};
    activate.reason = XmCR_ACTIVATE;
    XtCallCallbacks(close, XmNactivateCallback, &activate);
    EXPECT_FALSE(XtIsManaged(dialog));
    EXPECT_TRUE(process_until([] { return !shell_viewable(); }));

    // Help again: the same dialog, still scrolled where the user left it, the
    // text not inserted a second time.
    XmTextSetTopCharacter(text, static_cast<XmTextPosition>(expected_text().find("XY Scope:")));
    XmTextPosition scrolled = XmTextGetTopCharacter(text);
    EXPECT_GT(scrolled, 0);
    show_help_window();
    EXPECT_EQ(help_dialog, dialog);
    EXPECT_TRUE(process_until(shell_viewable));
    EXPECT_EQ(shown_text(), expected_text());
    EXPECT_EQ(XmTextGetTopCharacter(text), scrolled);

    // Help while the window is open but covered raises it.
    Window cover = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 800, 600, 0, 0, 0);
    XMapRaised(display, cover);
    process_until([] { return false; }, 100);
    ASSERT_GT(stacking_index(cover), stacking_index(XtWindow(shell())));
    show_help_window();
    EXPECT_EQ(help_dialog, dialog);
    EXPECT_TRUE(process_until([&] { return stacking_index(XtWindow(shell())) > stacking_index(cover); }));
    XDestroyWindow(display, cover);

    // The window manager's close hides the window without destroying it, and
    // Help brings it back.
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = XtWindow(shell());
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, XtWindow(shell()), False, NoEventMask, &event);
    EXPECT_TRUE(process_until([] { return !shell_viewable(); }));
    show_help_window();
    EXPECT_EQ(help_dialog, dialog);
    EXPECT_TRUE(process_until(shell_viewable));
    EXPECT_EQ(shown_text(), expected_text());
    EXPECT_FALSE(destroyed);
}
