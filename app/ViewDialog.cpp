// A view's dialog shell: its visibility and its close through the window
// manager.
#include "app/ViewDialog.h"

#include "app/Startup.h"

#include <Xm/Form.h>
#include <Xm/Protocols.h>
#include <Xm/Xm.h>

namespace {

struct Watched {
    Widget dialog;
    int* visible;
    void (*closed)();
};

void visibility_handler(Widget, XtPointer client_data, XEvent* event, Boolean*)
{
    int* visible = static_cast<Watched*>(client_data)->visible;
    if (event->type == UnmapNotify)
        *visible = 0;
    else if (event->type == VisibilityNotify)
        *visible = event->xvisibility.state != VisibilityFullyObscured;
}

void close_callback(Widget, XtPointer client_data, XtPointer)
{
    auto* watched = static_cast<Watched*>(client_data);
    XtUnmanageChild(watched->dialog);
    watched->closed();
}

} // namespace

void show_dialog(Widget& dialog, void (*create)())
{
    if (!dialog)
        create();
    if (!XtIsManaged(dialog))
        XtManageChild(dialog);
    else
        XMapRaised(XtDisplay(dialog), XtWindow(XtParent(dialog)));
}

Widget create_view_dialog(const char* name, Pixmap icon, Pixmap icon_mask, int* visible,
                          void (*closed)())
{
    Arg args[2];
    XtSetArg(args[0], XmNiconPixmap, icon);
    XtSetArg(args[1], XmNiconMask, icon_mask);
    Widget dialog = XmCreateFormDialog(main_window, const_cast<char*>(name), args, 2);

    // Made once per dialog, and kept as long as the dialog: for the run.
    auto* watched = new Watched{dialog, visible, closed};
    Widget shell = XtParent(dialog);
    Atom wm_protocols = XInternAtom(XtDisplay(shell), "WM_PROTOCOLS", False);
    XmAddProtocolCallback(shell, wm_protocols, wm_delete_window, close_callback, watched);
    XtAddEventHandler(shell, StructureNotifyMask, False, visibility_handler, watched);
    XtAddEventHandler(shell, VisibilityChangeMask, False, visibility_handler, watched);
    return dialog;
}

void show_menu_key(Widget item, const char* key)
{
    XmString text = XmStringCreateLocalized(const_cast<char*>(key));
    XtVaSetValues(item, XmNacceleratorText, text, nullptr);
    XmStringFree(text);
}
