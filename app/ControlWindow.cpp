// The control window: its widgets, and the one callback that tells its
// controls apart by their action codes.
#include "app/ControlWindow.h"

#include "analyser/Analyser.h"
#include "analyser/AnalyserWindow.h"
#include "app/HelpWindow.h"
#include "app/RunControl.h"
#include "app/Startup.h"
#include "app/ViewDialog.h"
#include "sampler/Sampler.h"
#include "scope/Scope.h"
#include "scope/ScopeWindow.h"

#include <Xm/Form.h>
#include <Xm/Frame.h>
#include <Xm/Label.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/Scale.h>
#include <Xm/ToggleB.h>
#include <Xm/Xm.h>
#include <cmath>

Widget control_form;
Widget soundcard_toggle;
Widget diskfile_toggle;
Widget analyser_run_toggle;
Widget alpha_scale;
Widget decay_scale;
Widget peak_search_toggle;
Widget scope_run_toggle;
Widget zoom_scale;

namespace {

// Action codes, the client data of every control.
enum Action {
    QuitAction = 0,
    AnalyserRunAction = 1,
    ScopeRunAction = 2,
    SoundcardAction = 3,
    DiskfileAction = 4,
    DecayAction = 5,
    AlphaAction = 6,
    PeakSearchAction = 7,
    HelpAction = 8,
    ZoomAction = 9,
};

// Form attachments of one child, collected as Xt arguments.
class Attach {
public:
    Attach& form(const char* side)
    {
        XtSetArg(args_[n_], side_attachment(side), XmATTACH_FORM);
        ++n_;
        return *this;
    }
    Attach& to(const char* side, Widget w)
    {
        XtSetArg(args_[n_], side_attachment(side), XmATTACH_WIDGET);
        ++n_;
        XtSetArg(args_[n_], side_widget(side), w);
        ++n_;
        return *this;
    }
    ArgList args() { return args_; }
    Cardinal count() const { return n_; }

private:
    static String side_attachment(const char* side)
    {
        switch (side[0]) {
        case 't': return const_cast<String>(XmNtopAttachment);
        case 'b': return const_cast<String>(XmNbottomAttachment);
        case 'l': return const_cast<String>(XmNleftAttachment);
        default: return const_cast<String>(XmNrightAttachment);
        }
    }
    static String side_widget(const char* side)
    {
        switch (side[0]) {
        case 't': return const_cast<String>(XmNtopWidget);
        case 'b': return const_cast<String>(XmNbottomWidget);
        case 'l': return const_cast<String>(XmNleftWidget);
        default: return const_cast<String>(XmNrightWidget);
        }
    }
    Arg args_[8];
    Cardinal n_ = 0;
};

Widget child(WidgetClass cls, const char* name, Widget parent, Attach attach = Attach())
{
    return XtCreateManagedWidget(name, cls, parent, attach.args(), attach.count());
}

void on(Widget w, const char* callback, Action action)
{
    XtAddCallback(w, callback, control_callback,
                  reinterpret_cast<XtPointer>(static_cast<long>(action)));
}

// A framed group: the frame in the control form and the form inside it.
Widget group(const char* frame_name, const char* form_name, Attach attach)
{
    Widget frame = child(xmFrameWidgetClass, frame_name, control_form, attach);
    return child(xmFormWidgetClass, form_name, frame);
}

Widget frame_of(Widget form)
{
    return XtParent(form);
}

} // namespace

void create_control_window()
{
    control_form = XtCreateManagedWidget("Control", xmFormWidgetClass, main_window, nullptr, 0);

    Widget form1 = group("Frame1", "Form1", Attach().form("top").form("left"));
    Widget source = child(xmLabelWidgetClass, "Source", form1,
                          Attach().form("top").form("left").form("right"));
    Attach radio_attach = Attach().to("top", source).form("left");
    Widget radio = XmCreateRadioBox(form1, const_cast<char*>("RadioBox1"), radio_attach.args(),
                                    radio_attach.count());
    XtManageChild(radio);
    soundcard_toggle = child(xmToggleButtonWidgetClass, "Soundcard", radio);
    on(soundcard_toggle, XmNvalueChangedCallback, SoundcardAction);
    diskfile_toggle = child(xmToggleButtonWidgetClass, "Diskfile", radio);
    on(diskfile_toggle, XmNvalueChangedCallback, DiskfileAction);

    Widget form2 = group("Frame2", "Form2",
                         Attach().form("top").to("left", frame_of(form1)).form("bottom"));
    Widget analyser_label = child(xmLabelWidgetClass, "Freq. Analyser", form2,
                                  Attach().form("top").form("left").form("right"));
    analyser_run_toggle = child(xmToggleButtonWidgetClass, "Run", form2,
                                Attach().to("top", analyser_label).form("left"));
    on(analyser_run_toggle, XmNvalueChangedCallback, AnalyserRunAction);
    alpha_scale = child(xmScaleWidgetClass, "Alpha", form2,
                        Attach().to("top", analyser_run_toggle).form("left").form("right"));
    on(alpha_scale, XmNdragCallback, AlphaAction);
    on(alpha_scale, XmNvalueChangedCallback, AlphaAction);
    decay_scale = child(xmScaleWidgetClass, "Decay", form2,
                        Attach().to("top", alpha_scale).form("left").form("right"));
    on(decay_scale, XmNdragCallback, DecayAction);
    on(decay_scale, XmNvalueChangedCallback, DecayAction);
    peak_search_toggle = child(xmToggleButtonWidgetClass, "Peak Search", form2,
                               Attach().to("top", decay_scale).form("left"));
    on(peak_search_toggle, XmNvalueChangedCallback, PeakSearchAction);

    Widget form3 = group("Frame3", "Form3",
                         Attach().form("top").to("left", frame_of(form2)).form("right"));
    Widget scope_label = child(xmLabelWidgetClass, "XY Scope", form3,
                               Attach().form("top").form("left").form("right"));
    scope_run_toggle = child(xmToggleButtonWidgetClass, "Run", form3,
                             Attach().to("top", scope_label).form("left"));
    on(scope_run_toggle, XmNvalueChangedCallback, ScopeRunAction);
    zoom_scale = child(xmScaleWidgetClass, "Zoom", form3,
                       Attach().to("top", scope_run_toggle).form("left"));
    on(zoom_scale, XmNdragCallback, ZoomAction);
    on(zoom_scale, XmNvalueChangedCallback, ZoomAction);

    Widget form5 = group("Frame5", "Form5",
                         Attach().to("top", frame_of(form1)).form("left").to("right", frame_of(form2)));
    Widget help_label = child(xmLabelWidgetClass, "Help", form5,
                              Attach().form("top").form("left").form("right"));
    Widget help_button = child(xmPushButtonWidgetClass, "Help", form5,
                               Attach().to("top", help_label).form("left").form("right").form("bottom"));
    on(help_button, XmNactivateCallback, HelpAction);

    Widget form6 = group("Frame6", "Form6",
                         Attach().to("top", frame_of(form5)).form("left").to("right", frame_of(form2)).form("bottom"));
    Widget quit_button = child(xmPushButtonWidgetClass, "Quit", form6,
                               Attach().form("top").form("left").form("right").form("bottom"));
    on(quit_button, XmNactivateCallback, QuitAction);
}

void control_callback(Widget w, XtPointer client_data, XtPointer)
{
    switch (static_cast<Action>(reinterpret_cast<long>(client_data))) {
    case QuitAction:
        quit();
        break;
    case AnalyserRunAction:
        run_view(analyser_running, XmToggleButtonGetState(w), show_analyser_window);
        break;
    case ScopeRunAction:
        run_view(scope_running, XmToggleButtonGetState(w), show_scope_window);
        break;
    case SoundcardAction:
        sampler.source = Sampler::Soundcard;
        break;
    case DiskfileAction:
        sampler.source = Sampler::Diskfile;
        break;
    case DecayAction: {
        double v = get_scale_value(w);
        analysers[0].set_decay(v);
        analysers[1].set_decay(v);
        break;
    }
    case AlphaAction: {
        double v = get_scale_value(w);
        analysers[0].set_alpha(v);
        analysers[1].set_alpha(v);
        break;
    }
    case PeakSearchAction: {
        bool b = XmToggleButtonGetState(w);
        analysers[0].set_peak_search(b);
        analysers[1].set_peak_search(b);
        break;
    }
    case HelpAction:
        show_help_window();
        break;
    case ZoomAction:
        scope.set_zoom(get_scale_value(w));
        break;
    }
}

void update_toggles()
{
    Boolean idle = !analyser_running && !scope_running;
    XtSetSensitive(soundcard_toggle, idle);
    XtSetSensitive(diskfile_toggle, idle);
    XmToggleButtonSetState(soundcard_toggle, sampler.source == Sampler::Soundcard, False);
    XmToggleButtonSetState(diskfile_toggle, sampler.source == Sampler::Diskfile, False);
    XmToggleButtonSetState(analyser_run_toggle, analyser_running, False);
    XmToggleButtonSetState(scope_run_toggle, scope_running, False);
}

void start_alpha(float alpha)
{
    const double a = alpha;
    set_scale_value(alpha_scale, a);
    analysers[0].set_alpha(a);
    analysers[1].set_alpha(a);
}

void start_decay(float decay)
{
    const double d = decay;
    set_scale_value(decay_scale, d);
    analysers[0].set_decay(d);
    analysers[1].set_decay(d);
}

void start_zoom(float zoom)
{
    const double z = zoom;
    set_scale_value(zoom_scale, z);
    scope.set_zoom(z);
}

void show_analyser_window()
{
    show_dialog(analyser_dialog, create_analyser_window);
}

void show_scope_window()
{
    show_dialog(scope_dialog, create_scope_window);
}

double get_scale_value(Widget scale)
{
    int value = 0;
    short decimal_points = 0;
    XtVaGetValues(scale, XmNvalue, &value, XmNdecimalPoints, &decimal_points, nullptr);
    return value / std::pow(10.0, decimal_points);
}

void set_scale_value(Widget scale, double v)
{
    short decimal_points = 0;
    XtVaGetValues(scale, XmNdecimalPoints, &decimal_points, nullptr);
    double scaled = v * std::pow(10.0, decimal_points);
    // Out-of-range settings stay representable; the scale clamps to its range.
    if (!(scaled > -2147483648.0))
        scaled = -2147483648.0;
    if (scaled > 2147483647.0)
        scaled = 2147483647.0;
    XmScaleSetValue(scale, static_cast<int>(scaled));
}
