// The "Scope" dialog: its drawing area feeds exposes and resizes to the
// scope view; its shell's visibility decides whether blocks are copied.
#include "scope/ScopeWindow.h"

#include "app/ControlWindow.h"
#include "app/Icons.h"
#include "app/RunControl.h"
#include "app/ViewDialog.h"
#include "scope/Scope.h"

#include <Xm/DrawingA.h>
#include <Xm/Form.h>
#include <Xm/Xm.h>

Widget scope_dialog;
Widget scope_drawing;
int scope_visible;

void create_scope_window()
{
    scope_dialog = create_view_dialog("Scope", scope_icon_pixmap, scope_icon_mask, &scope_visible,
                                      [] { stop_view(scope_run_toggle, scope_running); });

    Arg args[4];
    Cardinal n = 0;
    XtSetArg(args[n], XmNtopAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNleftAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNbottomAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNrightAttachment, XmATTACH_FORM); ++n;
    scope_drawing = XmCreateDrawingArea(scope_dialog, const_cast<char*>("Drawing"), args, n);
    XtManageChild(scope_drawing);
    XtAddCallback(scope_drawing, XmNexposeCallback, scope_area_callback, nullptr);
    XtAddCallback(scope_drawing, XmNresizeCallback, scope_area_callback, nullptr);
}

void scope_area_callback(Widget, XtPointer, XtPointer call_data)
{
    auto* cb = static_cast<XmDrawingAreaCallbackStruct*>(call_data);
    switch (cb->reason) {
    case XmCR_RESIZE:
        scope.resize(true);
        break;
    case XmCR_EXPOSE: {
        if (!scope.initialised)
            scope.init(XtDisplay(scope_drawing), XtWindow(scope_drawing));
        const XExposeEvent& e = cb->event->xexpose;
        XRectangle r = {static_cast<short>(e.x), static_cast<short>(e.y),
                        static_cast<unsigned short>(e.width), static_cast<unsigned short>(e.height)};
        scope.copy_to_window(r);
        break;
    }
    default:
        break;
    }
}
