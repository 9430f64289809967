// The "Transfer" dialog with its drawing area "TransferDisplay": exposes
// draw in full, a new frame draws incrementally while the shell is
// visible; button 3 posts its menu ("Accumulate", "Reset", "Find delay",
// "Smoothing", "Export transfer function"), the key d finds the delay and
// s exports. Closing it stops the computation; sampling goes on for the
// views that run.
#include "transfer/TransferWindow.h"

#include "analyser/AnalyserExport.h"
#include "transfer/TransferDisplay.h"
#include "app/AppResources.h"
#include "app/Views.h"
#include "common/Text.h"
#include "sampler/Sampler.h"

#include <X11/keysym.h>
#include <Xm/CascadeB.h>
#include <Xm/DrawingA.h>
#include <Xm/Form.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/ToggleB.h>
#include <Xm/Xm.h>

#include <cstdlib>
#include <memory>
#include <string>

Widget transfer_dialog;
bool transfer_open;
Transfer transfer;

namespace {

Widget area;
Widget menu;
Widget accumulate_toggle;
TransferDisplay display;
int visible;
bool auto_delay;            // transferDelay "auto": find once, from the first block on
unsigned int delay_setting;
constexpr int range_choices[] = {12, 24, 48};
constexpr const char* range_names[] = {"12 dB", "24 dB", "48 dB"};
constexpr int smoothing_choices[] = {0, 3, 6, 12, 24};
constexpr const char* smoothing_names[] = {"Off", "1/3 octave", "1/6 octave", "1/12 octave", "1/24 octave"};

void redraw()
{
    if (!display.initialised())
        return;
    display.update(transfer, sampler.rate, visible != 0);
    if (visible)
        XFlush(display.display());
}

void find_delay()
{
    if (transfer.find_delay())
        redraw();
}

void settings_into_transfer()
{
    if (!transfer.setup(static_cast<unsigned int>(app_resources.transferlength), app_resources.sampleresolution))
        transfer.setup(16384, app_resources.sampleresolution);
    transfer.set_averaging(app_resources.transferaveraging);
    transfer.set_smoothing(app_resources.transfersmoothing);
    transfer.set_delay(delay_setting);
}

// The settings' averaging when accumulation is switched off, 16 if they
// asked for accumulation.
void accumulate_callback(Widget w, XtPointer, XtPointer)
{
    const int steady = app_resources.transferaveraging > 0 ? app_resources.transferaveraging : 16;
    transfer.set_averaging(XmToggleButtonGetState(w) ? 0 : steady);
    redraw();
}

void smoothing_callback(Widget w, XtPointer client_data, XtPointer)
{
    if (XmToggleButtonGetState(w)) {
        transfer.set_smoothing(static_cast<int>(reinterpret_cast<long>(client_data)));
        redraw();
    }
}

void range_callback(Widget w, XtPointer client_data, XtPointer)
{
    if (XmToggleButtonGetState(w)) {
        display.set_range(static_cast<double>(reinterpret_cast<long>(client_data)));
        if (display.initialised()) {
            display.expose(transfer, sampler.rate, 0, 0, static_cast<int>(display.width()),
                           static_cast<int>(display.height()));
            XFlush(display.display());
        }
    }
}

void push_callback(Widget, XtPointer client_data, XtPointer)
{
    switch (reinterpret_cast<long>(client_data)) {
    case 0:
        transfer.reset();
        redraw();
        break;
    case 1:
        find_delay();
        break;
    default:
        export_transfer();
        break;
    }
}

Widget toggle(Widget parent, const char* name, bool set, XtCallbackProc callback, long client)
{
    Arg args[2];
    XtSetArg(args[0], XmNset, set ? XmSET : XmUNSET);
    XtSetArg(args[1], XmNvisibleWhenOff, True);
    Widget w = XmCreateToggleButton(parent, const_cast<char*>(name), args, 2);
    XtAddCallback(w, XmNvalueChangedCallback, callback, reinterpret_cast<XtPointer>(client));
    XtManageChild(w);
    return w;
}

// A push button of the menu; key, when it has one, shown beside it.
void push(const char* name, long client, const char* key = nullptr)
{
    Widget w = XmCreatePushButton(menu, const_cast<char*>(name), nullptr, 0);
    if (key)
        show_menu_key(w, key);
    XtAddCallback(w, XmNactivateCallback, push_callback, reinterpret_cast<XtPointer>(client));
    XtManageChild(w);
}

Widget choices_menu(const char* name)
{
    Arg args[1];
    XtSetArg(args[0], XmNradioBehavior, True);
    Widget pulldown = XmCreatePulldownMenu(menu, const_cast<char*>(name), args, 1);
    XtSetArg(args[0], XmNsubMenuId, pulldown);
    XtManageChild(XmCreateCascadeButton(menu, const_cast<char*>(name), args, 1));
    return pulldown;
}

void create_menu()
{
    Arg args[1];
    XtSetArg(args[0], XmNpopupEnabled, XmPOPUP_DISABLED);
    menu = XmCreatePopupMenu(transfer_dialog, const_cast<char*>("TransferMenu"), args, 1);
    accumulate_toggle = toggle(menu, "Accumulate", transfer.averaging() == 0, accumulate_callback, 0);
    push("Reset", 0);
    push("Find delay", 1, "d");
    Widget pulldown = choices_menu("Smoothing");
    for (int i = 0; i < 5; ++i)
        toggle(pulldown, smoothing_names[i], transfer.smoothing() == smoothing_choices[i], smoothing_callback,
               smoothing_choices[i]);
    pulldown = choices_menu("Range");
    for (int i = 0; i < 3; ++i)
        toggle(pulldown, range_names[i], display.range() == range_choices[i], range_callback, range_choices[i]);
    push("Export transfer function", 2, "s");
}

void area_event_handler(Widget, XtPointer, XEvent* event, Boolean*)
{
    if (event->type == ButtonPress && event->xbutton.button == Button3) {
        if (!menu)
            create_menu();
        XmToggleButtonSetState(accumulate_toggle, transfer.averaging() == 0, False);
        XmMenuPosition(menu, &event->xbutton);
        XtManageChild(menu);
    } else if (event->type == KeyPress) {
        const KeySym key = XLookupKeysym(&event->xkey, 0);
        if (key == XK_d)
            find_delay();
        else if (key == XK_s)
            export_transfer();
    }
}

void area_callback(Widget w, XtPointer, XtPointer call_data)
{
    auto* cb = static_cast<XmDrawingAreaCallbackStruct*>(call_data);
    if (cb->reason == XmCR_EXPOSE) {
        if (!display.initialised()) {
            display.init(XtDisplay(w), XtWindow(w));
            display.resize(transfer, sampler.rate);
        }
        const XExposeEvent& e = cb->event->xexpose;
        display.expose(transfer, sampler.rate, e.x, e.y, e.width, e.height);
    } else if (cb->reason == XmCR_RESIZE && display.initialised()) {
        display.resize(transfer, sampler.rate);
    }
}

void closed()
{
    transfer_open = false;
}

void create_transfer_window()
{
    transfer_dialog = create_view_window("Transfer", &visible, closed);
    XtVaSetValues(XtParent(transfer_dialog), XmNtitle, "Zentaphon: Transfer Function", XmNiconName,
                  "Zentaphon: Transfer Function", nullptr);

    Cardinal n = 0;
    Arg place[8];
    XtSetArg(place[n], XmNtopAttachment, XmATTACH_FORM); ++n;
    XtSetArg(place[n], XmNleftAttachment, XmATTACH_FORM); ++n;
    XtSetArg(place[n], XmNrightAttachment, XmATTACH_FORM); ++n;
    XtSetArg(place[n], XmNbottomAttachment, XmATTACH_FORM); ++n;
    XtSetArg(place[n], XmNwidth, 800); ++n;
    XtSetArg(place[n], XmNheight, 500); ++n;
    area = XmCreateDrawingArea(transfer_dialog, const_cast<char*>("TransferDisplay"), place, n);
    XtManageChild(area);
    XtAddCallback(area, XmNexposeCallback, area_callback, nullptr);
    XtAddCallback(area, XmNresizeCallback, area_callback, nullptr);
    XtAddEventHandler(area, ButtonPressMask | KeyPressMask, False, area_event_handler, nullptr);
    display.set_range(app_resources.transferrange);
    settings_into_transfer();
}

bool write_csv(std::FILE* f, const void*)
{
    std::fputs("frequency_hz,magnitude_db,phase_deg,coherence\n", f);
    const double step = static_cast<double>(sampler.rate) / transfer.length();
    const bool coherent = transfer.frames() >= 2;
    for (unsigned int k = 1; 2 * k < transfer.length(); ++k) {
        const Transfer::Point p = transfer.at(k);
        std::fprintf(f, "%.4f,%.4f,%.4f,", k * step, p.magnitude_db, p.phase_deg);
        if (coherent)
            std::fprintf(f, "%.4f", p.coherence);
        std::fputc('\n', f);
    }
    return !std::ferror(f);
}

} // namespace

void show_transfer_window()
{
    show_dialog(transfer_dialog, create_transfer_window);
    if (!transfer_open)
        transfer.restart();
    transfer_open = true;
}

bool transfer_window_open()
{
    return transfer_open;
}

void transfer_sampling_stopped()
{
    if (!transfer.finding())
        return;
    transfer.cancel_delay_search();
    std::fprintf(stderr, "delay: sampling stopped before the search had enough data, still %u samples (%.3f ms)\n",
                 transfer.delay(), sampler.rate > 0 ? transfer.delay() * 1000.0 / sampler.rate : 0.0);
    redraw();
}

void transfer_apply_settings()
{
    const char* t = app_resources.transferdelay ? app_resources.transferdelay : "";
    char* end = nullptr;
    const long samples = std::strtol(t, &end, 10);
    auto_delay = zen::strcasecmp(t, "auto") == 0;
    const bool number = end != t && *end == '\0' && samples >= 0 && samples <= 65536;
    if (!auto_delay && !number)
        std::fprintf(stderr, "error: transferDelay \"%s\" is neither auto nor a number of samples from 0 to "
                     "65536, using 0\n", t);
    delay_setting = number ? static_cast<unsigned int>(samples) : 0;
}

void transfer_take_block(const Block& b)
{
    if (b.inputs.first_block)
        transfer.restart();
    if (auto_delay) {   // once, from the first block the window sees
        auto_delay = false;
        transfer.find_delay();
    }
    const bool frame = transfer.add_block(b.samples, b.frames);
    const Transfer::DelayResult found = transfer.take_finder_result();
    const bool ended = found.state == DelayFinder::Found || found.state == DelayFinder::NotClear;
    if (ended)
        std::fputs(describe_delay(found, b.inputs.rate).c_str(), stderr);
    if (frame || ended)
        redraw();
}

bool export_transfer()
{
    if (!display.initialised()) {
        std::fprintf(stderr, "error: cannot export: the transfer window has not been drawn yet\n");
        return false;
    }
    if (transfer.frames() == 0) {
        std::fprintf(stderr, "error: cannot export: no transfer function has been measured yet\n");
        return false;
    }
    const std::string base = export_base() + "-transfer";
    std::unique_ptr<unsigned char[]> rgb(new unsigned char[static_cast<size_t>(display.width()) * display.height() * 3]);
    if (!display.picture(transfer, sampler.rate, rgb.get()))
        return false;
    std::string chosen;
    if (!write_csv_and_png(base, write_csv, nullptr, display.width(), display.height(), rgb.get(), chosen))
        return false;
    std::fprintf(stderr, "transfer function exported to %s and %s\n", quoted_path(chosen + ".csv").c_str(),
                 quoted_path(chosen + ".png").c_str());
    return true;
}
