// The "Analyser" dialog: "Display0" (mono or left) and, in stereo,
// "Display1" (right) below it. Exposes and resizes go to the analyser of
// the area, button-1 input to both, and the shell's visibility decides
// whether the analysers draw after each block.
#include "analyser/AnalyserWindow.h"

#include "analyser/Analyser.h"
#include "analyser/AnalyserMenu.h"
#include "app/AppResources.h"
#include "app/ControlWindow.h"
#include "app/Icons.h"
#include "app/RunControl.h"
#include "app/ViewDialog.h"
#include "sampler/Sampler.h"

#include <Xm/DrawingA.h>
#include <Xm/Form.h>
#include <Xm/Xm.h>
#include <algorithm>

Widget analyser_dialog;
Widget analyser_areas[2];
int analyser_visible;

// The areas' width at start, pixels: analyserWidth when set; otherwise one
// column per frequency component, in dBFS mode (where each column shows the
// highest of its components) no wider than the screen.
static Dimension start_width()
{
    unsigned int width = sampler.length / 2 + 1;
    if (app_resources.analyserwidth > 0)
        width = static_cast<unsigned int>(app_resources.analyserwidth);
    else if (analysers[0].dbfs)
        width = std::min(width, static_cast<unsigned int>(WidthOfScreen(XtScreen(analyser_dialog))));
    return static_cast<Dimension>(std::min(width, 32767u));
}

// "Display0" fills the dialog, or its upper half in stereo; "Display1"
// (index 1, stereo only) the lower half.
static Widget create_area(const char* name, long index, bool stereo)
{
    Dimension width = start_width();

    Arg args[7];
    Cardinal n = 0;
    if (index == 1) {
        XtSetArg(args[n], XmNtopAttachment, XmATTACH_POSITION); ++n;
        XtSetArg(args[n], XmNtopPosition, 50); ++n;
        XtSetArg(args[n], XmNleftAttachment, XmATTACH_FORM); ++n;
        XtSetArg(args[n], XmNbottomAttachment, XmATTACH_FORM); ++n;
    } else {
        XtSetArg(args[n], XmNtopAttachment, XmATTACH_FORM); ++n;
        XtSetArg(args[n], XmNleftAttachment, XmATTACH_FORM); ++n;
        XtSetArg(args[n], XmNbottomAttachment, stereo ? XmATTACH_POSITION : XmATTACH_FORM); ++n;
        XtSetArg(args[n], XmNbottomPosition, 50); ++n;
    }
    XtSetArg(args[n], XmNrightAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNwidth, width); ++n;

    Widget area = XmCreateDrawingArea(analyser_dialog, const_cast<char*>(name), args, n);
    XtManageChild(area);
    XtPointer client = reinterpret_cast<XtPointer>(index);
    XtAddCallback(area, XmNexposeCallback, analyser_area_callback, client);
    XtAddCallback(area, XmNresizeCallback, analyser_area_callback, client);
    XtAddCallback(area, XmNinputCallback, analyser_area_callback, client);
    add_analyser_menu(area);
    return area;
}

void create_analyser_window()
{
    analyser_dialog = create_view_dialog("Analyser", spectrum_icon_pixmap, spectrum_icon_mask,
                                         &analyser_visible,
                                         [] { stop_view(analyser_run_toggle, analyser_running); });

    bool stereo = app_resources.stereo;
    analyser_areas[0] = create_area("Display0", 0, stereo);
    if (stereo)
        analyser_areas[1] = create_area("Display1", 1, stereo);
}

void analyser_area_callback(Widget, XtPointer client_data, XtPointer call_data)
{
    long i = reinterpret_cast<long>(client_data);
    auto* cb = static_cast<XmDrawingAreaCallbackStruct*>(call_data);
    switch (cb->reason) {
    case XmCR_EXPOSE: {
        Analyser& a = analysers[i];
        if (!a.initialised)
            a.init(XtDisplay(analyser_areas[i]), XtWindow(analyser_areas[i]));
        const XExposeEvent& e = cb->event->xexpose;
        XRectangle r = {static_cast<short>(e.x), static_cast<short>(e.y),
                        static_cast<unsigned short>(e.width), static_cast<unsigned short>(e.height)};
        a.draw(r, true);
        break;
    }
    case XmCR_RESIZE:
        analysers[i].resize(true);
        break;
    case XmCR_INPUT: {
        XEvent* e = cb->event;
        if (e && (e->type == ButtonPress || e->type == MotionNotify)) {
            int16_t x = static_cast<int16_t>(e->type == ButtonPress ? e->xbutton.x : e->xmotion.x);
            analysers[0].move_marker(x);
            analysers[1].move_marker(x);
        }
        break;
    }
    default:
        break;
    }
}
