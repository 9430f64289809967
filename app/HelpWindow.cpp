// The help dialog: built on the first press of "Help", then only shown,
// hidden and raised; its text is inserted once and never rebuilt.
#include "app/HelpWindow.h"

#include <cstring>

#include <Xm/Xm.h>
#include <Xm/Form.h>
#include <Xm/PushB.h>
#include <Xm/Text.h>

#include "app/Icons.h"
#include "app/Startup.h"
#include "app/ViewDialog.h"

Widget help_dialog = nullptr;

void show_help_window()
{
    // Managed already, it may be behind other windows or only unmapped by
    // the window manager's close: show_dialog maps and raises its shell.
    show_dialog(help_dialog, create_help_window);
}

void create_help_window()
{
    Arg args[9];
    int n = 0;
    XtSetArg(args[n], XmNiconPixmap, spectrum_icon_pixmap); n++;
    XtSetArg(args[n], XmNiconMask, spectrum_icon_mask); n++;
    help_dialog = XmCreateFormDialog(main_window, const_cast<char*>("Help"), args, n);

    // "Close" has no callback: the form dialog unmanages itself when one of
    // its push buttons is activated (autoUnmanage).
    n = 0;
    XtSetArg(args[n], XmNbottomAttachment, XmATTACH_FORM); n++;
    XtSetArg(args[n], XmNbottomOffset, 10); n++;
    XtSetArg(args[n], XmNleftAttachment, XmATTACH_POSITION); n++;
    XtSetArg(args[n], XmNleftPosition, 40); n++;
    XtSetArg(args[n], XmNrightAttachment, XmATTACH_POSITION); n++;
    XtSetArg(args[n], XmNrightPosition, 60); n++;
    Widget close = XmCreatePushButton(help_dialog, const_cast<char*>("Close"), args, n);
    XtManageChild(close);

    // Size comes from the resources HelpText.width and HelpText.height.
    n = 0;
    XtSetArg(args[n], XmNtopAttachment, XmATTACH_FORM); n++;
    XtSetArg(args[n], XmNbottomAttachment, XmATTACH_WIDGET); n++;
    XtSetArg(args[n], XmNbottomWidget, close); n++;
    XtSetArg(args[n], XmNbottomOffset, 10); n++;
    XtSetArg(args[n], XmNleftAttachment, XmATTACH_FORM); n++;
    XtSetArg(args[n], XmNrightAttachment, XmATTACH_FORM); n++;
    XtSetArg(args[n], XmNeditMode, XmMULTI_LINE_EDIT); n++;
    XtSetArg(args[n], XmNeditable, False); n++;
    XtSetArg(args[n], XmNcursorPositionVisible, False); n++;
    Widget text = XmCreateScrolledText(help_dialog, const_cast<char*>("HelpText"), args, n);
    XtManageChild(text);

    char newline[] = "\n";
    XmTextPosition p = 0;
    for (int i = 0; help_text[i] != nullptr; i++) {
        XmTextReplace(text, p, p, const_cast<char*>(help_text[i]));
        p += static_cast<XmTextPosition>(std::strlen(help_text[i]));
        XmTextReplace(text, p, p, newline);
        p += 1;
    }
    XmTextShowPosition(text, 0);
}
