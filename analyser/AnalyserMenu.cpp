// The popup menu of the analyser window: "Averaging", "Frequency scale",
// "Peak level", "Export spectrum", the readings' entries, then an entry for
// each view of the table ("Transfer function...", "Measurements...",
// "Spectrogram..."), which opens it as its key does. One menu serves both
// drawing areas (and the spectrogram's) and every choice applies to both
// analysers; the menu is made at its first post and starts from the
// settings.
#include "analyser/AnalyserMenu.h"

#include "analyser/Analyser.h"
#include "analyser/AnalyserWindow.h"
#include "analyser/AnalyserExport.h"
#include "analyser/ReadingsMenu.h"
#include "app/ViewDialog.h"
#include "app/Views.h"
#include "common/Text.h"

#include <X11/keysym.h>
#include <Xm/CascadeB.h>
#include <Xm/PushB.h>
#include <Xm/PushBG.h>
#include <Xm/RowColumn.h>
#include <Xm/ToggleB.h>
#include <Xm/Xm.h>

namespace {

Widget menu;

// Averaging choices in blocks; "Off" is 1.
constexpr int averaging_choices[] = {1, 4, 16, 64};
constexpr const char* averaging_names[] = {"Off", "4", "16", "64"};

void set_log_scale(bool on)
{
    analysers[0].set_log_scale(on);
    analysers[1].set_log_scale(on);
    for (int i = 0; i < view_count; ++i)
        if (views[i].set_log_scale)
            views[i].set_log_scale(on);
}

void averaging_callback(Widget w, XtPointer client_data, XtPointer)
{
    if (XmToggleButtonGetState(w))
        set_analysers_averaging(static_cast<int>(reinterpret_cast<long>(client_data)));
}

void scale_callback(Widget w, XtPointer client_data, XtPointer)
{
    if (XmToggleButtonGetState(w))
        set_log_scale(client_data != nullptr);
}

void peak_level_callback(Widget w, XtPointer, XtPointer)
{
    set_analysers_peak_level(XmToggleButtonGetState(w));
}

void export_callback(Widget, XtPointer, XtPointer)
{
    export_spectrum();
}

void view_callback(Widget, XtPointer client_data, XtPointer)
{
    views[reinterpret_cast<long>(client_data)].show();
}

// A view's entry: a push button, or a gadget where its row says so.
void add_view_entry(long i)
{
    const View& v = views[i];
    Widget w;
    XmString label = XmStringCreateLocalized(const_cast<char*>(v.menu_label));
    if (v.menu_gadget) {
        Arg args[1];
        XtSetArg(args[0], XmNlabelString, label);
        w = XmCreatePushButtonGadget(menu, const_cast<char*>(v.menu_widget), args, 1);
    } else {
        w = XmCreatePushButton(menu, const_cast<char*>(v.menu_widget), nullptr, 0);
        XtVaSetValues(w, XmNlabelString, label, nullptr);
    }
    XmStringFree(label);
    show_menu_key(w, XKeysymToString(v.key));
    XtAddCallback(w, XmNactivateCallback, view_callback, reinterpret_cast<XtPointer>(i));
    XtManageChild(w);
}

Widget toggle(Widget parent, const char* name, bool set, XtCallbackProc callback, long client)
{
    Arg args[2];
    Cardinal n = 0;
    XtSetArg(args[n], XmNset, set ? XmSET : XmUNSET); ++n;
    XtSetArg(args[n], XmNvisibleWhenOff, True); ++n;
    Widget w = XmCreateToggleButton(parent, const_cast<char*>(name), args, n);
    XtAddCallback(w, XmNvalueChangedCallback, callback, reinterpret_cast<XtPointer>(client));
    XtManageChild(w);
    return w;
}

// A cascade entry of the menu and its pulldown of one-of-many choices.
Widget submenu(const char* name)
{
    Arg args[1];
    XtSetArg(args[0], XmNradioBehavior, True);
    Widget pulldown = XmCreatePulldownMenu(menu, const_cast<char*>(name), args, 1);
    XtSetArg(args[0], XmNsubMenuId, pulldown);
    Widget cascade = XmCreateCascadeButton(menu, const_cast<char*>(name), args, 1);
    XtManageChild(cascade);
    return pulldown;
}

void create_menu()
{
    Arg args[1];
    XtSetArg(args[0], XmNpopupEnabled, XmPOPUP_DISABLED);
    menu = XmCreatePopupMenu(analyser_dialog, const_cast<char*>("AnalyserMenu"), args, 1);

    Widget averaging = submenu("Averaging");
    for (int i = 0; i < 4; ++i)
        toggle(averaging, averaging_names[i], analysers[0].averaging == averaging_choices[i],
               averaging_callback, averaging_choices[i]);
    Widget scale = submenu("Frequency scale");
    toggle(scale, "Linear", !analysers[0].log_scale, scale_callback, 0);
    toggle(scale, "Logarithmic", analysers[0].log_scale, scale_callback, 1);
    toggle(menu, "Peak level", analysers[0].show_peak_level, peak_level_callback, 0);
    Widget export_button = XmCreatePushButton(menu, const_cast<char*>("Export spectrum"), nullptr, 0);
    show_menu_key(export_button, "s");
    XtAddCallback(export_button, XmNactivateCallback, export_callback, nullptr);
    XtManageChild(export_button);
    add_readings_items(menu);
    for (long i = 0; i < view_count; ++i)
        add_view_entry(i);
}

// The view whose key this is, or null.
const View* view_of_key(KeySym key)
{
    for (int i = 0; i < view_count; ++i)
        if (views[i].key == key)
            return &views[i];
    return nullptr;
}

void area_event_handler(Widget, XtPointer, XEvent* event, Boolean*)
{
    if (event->type == ButtonPress && event->xbutton.button == Button3) {
        if (!menu)
            create_menu();
        XmMenuPosition(menu, &event->xbutton);
        XtManageChild(menu);
    } else if (event->type == KeyPress) {
        const KeySym key = XLookupKeysym(&event->xkey, 0);
        if (key == XK_s)
            export_spectrum();
        else if (const View* v = view_of_key(key))
            v->show();
        else
            readings_key(key);
    }
}

} // namespace

void set_analysers_averaging(int blocks)
{
    analysers[0].set_averaging(blocks);
    analysers[1].set_averaging(blocks);
}

void set_analysers_frequency_scale(String scale)
{
    set_log_scale(zen::strcasecmp(scale, "log") == 0);
}

void set_analysers_peak_level(Boolean on)
{
    analysers[0].set_peak_level(on);
    analysers[1].set_peak_level(on);
}

void add_analyser_menu(Widget area)
{
    XtAddEventHandler(area, ButtonPressMask | KeyPressMask, False, area_event_handler, nullptr);
}
