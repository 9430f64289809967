// The readings' menu items and their dialogs. The items are gadgets after
// the menu's own buttons.
#include "analyser/ReadingsMenu.h"

#include "analyser/Analyser.h"
#include "analyser/AnalyserWindow.h"
#include "analyser/Readings.h"
#include "app/AppResources.h"
#include "app/SavedSettings.h"
#include "app/ViewDialog.h"
#include "common/RegularFile.h"
#include "app/Views.h"

#include <X11/keysym.h>
#include <Xm/FileSB.h>
#include <Xm/PushBG.h>
#include <Xm/SelectioB.h>
#include <Xm/ToggleBG.h>
#include <Xm/Xm.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

Widget dbfs_toggle, freeze_toggle, calibrate_dialog, load_dialog;
std::string unfrozen_title;

unsigned int shown_analysers()
{
    return app_resources.stereo ? 2 : 1;
}

void set_level_scale(const LevelScale& scale)
{
    analysers[0].level_scale = scale;
    analysers[1].level_scale = scale;
}

// Grid and peak labels show the calibration: both areas drawn afresh.
void redraw_analysers()
{
    for (Analyser& a : analysers)
        if (a.initialised) {
            a.pens.unclip();
            if (a.peak_search)
                a.draw_peak_label(false);
            XRectangle all = {0, 0, static_cast<unsigned short>(a.width), static_cast<unsigned short>(a.height)};
            a.draw(all, true);
        }
}

void set_frozen(bool on)
{
    analysers[0].set_frozen(on);
    analysers[1].set_frozen(on);
    if (freeze_toggle)
        XmToggleButtonGadgetSetState(freeze_toggle, on, False);
    if (!analyser_dialog)
        return;
    Widget shell = XtParent(analyser_dialog);
    if (on) {
        char* title = nullptr;
        XtVaGetValues(shell, XmNtitle, &title, nullptr);
        unfrozen_title = title ? title : "";
        XtVaSetValues(shell, XmNtitle, (unfrozen_title + " (frozen)").c_str(), nullptr);
    } else {
        XtVaSetValues(shell, XmNtitle, unfrozen_title.c_str(), nullptr);
    }
}

void store_reference()
{
    for (unsigned int i = 0; i < shown_analysers(); ++i)
        analysers[i].store_reference();
}

// The peak as the user reads it in dBFS: the held one with peak search on,
// else the highest component, interpolated.
double peak_dbfs()
{
    const Analyser& a = analysers[0];
    double f, d;
    if (a.peak_search) {
        a.read_peak(f, d);
        return d;
    }
    unsigned int k = 0;
    for (unsigned int fc = 1; fc < a.num_fft; ++fc)
        k = a.level[fc] > a.level[k] ? fc : k;
    return a.num_fft ? interpolated_peak(a.raw_level.get(), a.num_fft, k).level : 0.0;
}

// The level calibrated: the fundamental's as the measurements read it,
// else the peak's.
double calibrated_dbfs()
{
    double level;
    return measured_fundamental_dbfs(level) ? level : peak_dbfs();
}

XmString text(const std::string& s)
{
    return XmStringCreateLocalized(const_cast<char*>(s.c_str()));
}

std::string plain(XmString s)
{
    char* t = static_cast<char*>(XmStringUnparse(s, nullptr, XmCHARSET_TEXT, XmCHARSET_TEXT, nullptr, 0, XmOUTPUT_ALL));
    std::string out = t ? t : "";
    XtFree(t);
    return out;
}

// "LEVEL [UNIT]": the level the peak should read (in dBFS mode) or the
// calibration itself, and optionally the unit.
void calibrate_callback(Widget, XtPointer, XtPointer call_data)
{
    auto* cb = static_cast<XmSelectionBoxCallbackStruct*>(call_data);
    const std::string entry = plain(cb->value);
    const char* p = entry.c_str();
    char* end = nullptr;
    const double target = std::strtod(p, &end);
    if (end == p || !std::isfinite(target)) {
        std::fprintf(stderr, "error: calibration: \"%s\" is no level\n", entry.c_str());
        return;
    }
    // Silence has no finite level to calibrate against.
    const double reading = analysers[0].dbfs ? calibrated_dbfs() : 0.0;
    if (!std::isfinite(reading)) {
        std::fprintf(stderr, "error: cannot calibrate: the peak reads no level (%g dBFS), calibration kept\n",
                     reading);
        return;
    }
    std::string unit = end;
    unit.erase(0, unit.find_first_not_of(" \t"));
    unit.erase(unit.find_last_not_of(" \t") + 1);
    LevelScale scale = analysers[0].level_scale;
    if (!unit.empty())
        scale.unit = unit;
    scale.calibration = target - reading;
    set_level_scale(scale);
    std::fprintf(stderr, "calibration %+.2f dB: levels in %s\n", scale.calibration, scale.unit.c_str());
    redraw_analysers();
}

void calibrate_item(Widget, XtPointer, XtPointer)
{
    if (!calibrate_dialog) {
        XmString title = text("Zentaphon: Calibrate");
        Arg args[1];
        XtSetArg(args[0], XmNdialogTitle, title);
        calibrate_dialog = XmCreatePromptDialog(analyser_dialog, const_cast<char*>("Calibrate"), args, 1);
        XmStringFree(title);
        XtAddCallback(calibrate_dialog, XmNokCallback, calibrate_callback, nullptr);
        XtUnmanageChild(XmSelectionBoxGetChild(calibrate_dialog, XmDIALOG_HELP_BUTTON));
    }
    const LevelScale& scale = analysers[0].level_scale;
    char prompt[160], value[96];
    if (analysers[0].dbfs) {
        const double reads = calibrated_dbfs() + scale.calibration;
        std::snprintf(prompt, sizeof prompt, "The peak reads %.2f %s. It should read (level and unit):", reads,
                      scale.unit.c_str());
        std::snprintf(value, sizeof value, "%.2f %s", reads, scale.unit.c_str());
    } else {
        std::snprintf(prompt, sizeof prompt, "Calibration in dB for the levels in dBFS (and unit):");
        std::snprintf(value, sizeof value, "%.2f %s", scale.calibration, scale.unit.c_str());
    }
    XmString label = text(prompt), entry = text(value);
    XtVaSetValues(calibrate_dialog, XmNselectionLabelString, label, XmNtextString, entry, nullptr);
    XmStringFree(label);
    XmStringFree(entry);
    XtManageChild(calibrate_dialog);
}

// Reads an exported spectrum and lays it onto each analyser's components.
bool load_reference(const std::string& path)
{
    std::string whole, error;
    LevelTable table;
    if (!read_regular_file(path.c_str(), whole, error) || !parse_level_table(whole, table, error)) {
        std::fprintf(stderr, "error: cannot load the reference %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    for (unsigned int i = 0; i < shown_analysers(); ++i) {
        Analyser& a = analysers[i];
        if (!a.initialised)
            continue;
        const std::vector<double>& column = table.level[i == 1 && !table.level[1].empty() ? 1 : 0];
        std::vector<double> levels(a.num_fft);
        for (unsigned int fc = 0; fc < a.num_fft; ++fc)
            levels[fc] = level_at(table.frequency, column, a.fc2f(fc)) - a.shown_level(0.0);
        a.set_reference(levels.data());
    }
    std::fprintf(stderr, "reference loaded from %s\n", path.c_str());
    return true;
}

void load_callback(Widget w, XtPointer, XtPointer call_data)
{
    auto* cb = static_cast<XmFileSelectionBoxCallbackStruct*>(call_data);
    if (load_reference(plain(cb->value)))
        XtUnmanageChild(w);
}

void load_item(Widget, XtPointer, XtPointer)
{
    if (!load_dialog) {
        XmString title = text("Zentaphon: Load reference");
        Arg args[1];
        XtSetArg(args[0], XmNdialogTitle, title);
        load_dialog = XmCreateFileSelectionDialog(analyser_dialog, const_cast<char*>("LoadReference"), args, 1);
        XmStringFree(title);
        XtAddCallback(load_dialog, XmNokCallback, load_callback, nullptr);
        XtAddCallback(load_dialog, XmNcancelCallback, [](Widget w, XtPointer, XtPointer) { XtUnmanageChild(w); },
                      nullptr);
        XtUnmanageChild(XmFileSelectionBoxGetChild(load_dialog, XmDIALOG_HELP_BUTTON));
    }
    // Exports are found where they are written.
    XmString mask = text(std::string(app_resources.exportdirectory) + "/*.csv");
    XmFileSelectionDoSearch(load_dialog, mask);
    XmStringFree(mask);
    XtManageChild(load_dialog);
}

void push(Widget menu, const char* name, XtCallbackProc callback, const char* key = nullptr)
{
    Widget w = XmCreatePushButtonGadget(menu, const_cast<char*>(name), nullptr, 0);
    if (key)
        show_menu_key(w, key);
    XtAddCallback(w, XmNactivateCallback, callback, nullptr);
    XtManageChild(w);
}

Widget check(Widget menu, const char* name, bool set, XtCallbackProc callback, const char* key = nullptr)
{
    Arg args[2];
    XtSetArg(args[0], XmNset, set ? XmSET : XmUNSET);
    XtSetArg(args[1], XmNvisibleWhenOff, True);
    Widget w = XmCreateToggleButtonGadget(menu, const_cast<char*>(name), args, 2);
    if (key)
        show_menu_key(w, key);
    XtAddCallback(w, XmNvalueChangedCallback, callback, nullptr);
    XtManageChild(w);
    return w;
}

} // namespace

void set_analysers_dbfs(Boolean on)
{
    analysers[0].set_dbfs(on);
    analysers[1].set_dbfs(on);
}

void set_analysers_calibration(float db)
{
    LevelScale scale = analysers[0].level_scale;
    scale.calibration = db;
    set_level_scale(scale);
}

void set_analysers_level_unit(String unit)
{
    LevelScale scale = analysers[0].level_scale;
    scale.unit = unit;
    set_level_scale(scale);
}

void add_readings_items(Widget menu)
{
    push(menu, "Store reference", [](Widget, XtPointer, XtPointer) { store_reference(); }, "r");
    push(menu, "Load reference...", load_item);
    push(menu, "Clear reference", [](Widget, XtPointer, XtPointer) {
        analysers[0].clear_reference();
        analysers[1].clear_reference();
    });
    push(menu, "Save settings", [](Widget, XtPointer, XtPointer) { save_settings(); });
    push(menu, "Calibrate...", calibrate_item);
    dbfs_toggle = check(menu, "Levels in dBFS", analysers[0].dbfs,
                        [](Widget w, XtPointer, XtPointer) { set_analysers_dbfs(XmToggleButtonGadgetGetState(w)); });
    freeze_toggle = check(menu, "Freeze", analysers[0].frozen,
                          [](Widget w, XtPointer, XtPointer) { set_frozen(XmToggleButtonGadgetGetState(w)); }, "f");
}

bool readings_key(KeySym key)
{
    if (key == XK_r)
        store_reference();
    else if (key == XK_f)
        set_frozen(!analysers[0].frozen);
    else
        return false;
    return true;
}
