// The control window and the run control: the Run toggles start and stop
// the sampler and the work procedure that feeds the running views.
#include "app/ControlWindow.h"

#include "analyser/Analyser.h"
#include "analyser/AnalyserMenu.h"
#include "analyser/AnalyserWindow.h"
#include "analyser/Measuring.h"
#include "app/AppResources.h"
#include "app/HelpWindow.h"
#include "app/Startup.h"
#include "common/BlockInputs.h"
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
#include <cstdio>
#include <cstdlib>

Widget control_form;
Widget soundcard_toggle;
Widget diskfile_toggle;
Widget analyser_run_toggle;
Widget alpha_scale;
Widget decay_scale;
Widget peak_search_toggle;
Widget scope_run_toggle;
Widget zoom_scale;
XtWorkProcId work_proc_id;
bool analyser_running;
bool scope_running;

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

static void quit()
{
    if (sampler.device_pcm)
        sampler.stop();
    XtDestroyApplicationContext(app_context);
    std::exit(0);
}

int display_lost(Display* display)
{
    if (sampler.device_pcm)
        sampler.stop();
    std::fprintf(stderr, "error: lost the connection to the X display %s; exiting\n",
                 DisplayString(display));
    std::exit(1);
}

void quit_callback(Widget, XtPointer, XtPointer)
{
    quit();
}

void control_callback(Widget w, XtPointer client_data, XtPointer)
{
    switch (static_cast<Action>(reinterpret_cast<long>(client_data))) {
    case QuitAction:
        quit();
        break;
    case AnalyserRunAction:
        analyser_running = XmToggleButtonGetState(w);
        if (analyser_running)
            show_analyser_window();
        update_sampling();
        break;
    case ScopeRunAction:
        scope_running = XmToggleButtonGetState(w);
        if (scope_running)
            show_scope_window();
        update_sampling();
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

void update_sampling()
{
    if (analyser_running || scope_running) {
        if (!sampler.device_pcm) {
            if (sampler.start()) {
                work_proc_id = XtAppAddWorkProc(app_context, sample_work_proc, nullptr);
            } else {
                analyser_running = false;
                scope_running = false;
            }
        }
    } else if (sampler.device_pcm) {
        XtRemoveWorkProc(work_proc_id);
        sampler.stop();
        analyser_running = false;
        scope_running = false;
    }
    update_toggles();
}

// What the views' computation needs of the block just read and of the
// settings.
static BlockInputs inputs_of_block()
{
    BlockInputs in;
    in.dc_left = sampler.dc_left;
    in.dc_right = sampler.dc_right;
    in.first_block = sampler.count <= 0;
    in.blocks_per_second = sampler.blocks_per_second;
    in.rate = sampler.rate;
    in.upperdb = app_resources.upperdb;
    in.lowerdb = app_resources.lowerdb;
    in.dcadjust = app_resources.dcadjust;
    return in;
}

Boolean sample_work_proc(XtPointer)
{
    if (!sampler.read_block()) {
        sampler.stop();
        analyser_running = false;
        scope_running = false;
        update_toggles();
        return True;
    }
    block_inputs = inputs_of_block();
    if (analyser_running) {
        bool draw = analyser_visible != 0;
        if (app_resources.stereo) {
            analysers[0].process_block(sampler.buffer.get(), Analyser::Left, draw);
            analysers[1].process_block(sampler.buffer.get(), Analyser::Right, draw);
        } else {
            analysers[0].process_block(sampler.buffer.get(), Analyser::Mono, draw);
        }
        measure_block(sampler.buffer.get(), sampler.count, block_inputs);
        XFlush(XtDisplay(main_window));
    }
    if (scope_running) {
        scope.draw_block(sampler.buffer.get(), scope_visible != 0);
        XFlush(XtDisplay(main_window));
    }
    return False;
}

void apply_resources()
{
    double a = app_resources.alpha;
    set_scale_value(alpha_scale, a);
    analysers[0].set_alpha(a);
    analysers[1].set_alpha(a);
    double d = app_resources.decay;
    set_scale_value(decay_scale, d);
    analysers[0].set_decay(d);
    analysers[1].set_decay(d);
    double z = app_resources.zoom;
    set_scale_value(zoom_scale, z);
    scope.set_zoom(z);
    apply_measuring_resources();
}

void show_dialog(Widget dialog)
{
    if (!XtIsManaged(dialog))
        XtManageChild(dialog);
    else
        XMapRaised(XtDisplay(dialog), XtWindow(XtParent(dialog)));
}

void show_analyser_window()
{
    if (!analyser_dialog)
        create_analyser_window();
    show_dialog(analyser_dialog);
}

void show_scope_window()
{
    if (!scope_dialog)
        create_scope_window();
    show_dialog(scope_dialog);
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
