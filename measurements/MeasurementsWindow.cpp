// The "Measurements" dialog: a drawing area with the readout's rows in the
// grid font, in the area's own colours. Rows are drawn with their
// background, so a changed row simply replaces the old one.
#include "measurements/MeasurementsWindow.h"

#include "measurements/MeasurementText.h"
#include "measurements/Measuring.h"
#include "app/AppResources.h"
#include "app/Views.h"

#include <Xm/DrawingA.h>
#include <Xm/Form.h>
#include <Xm/Xm.h>
#include <cstring>

Widget measurements_dialog;

namespace {

constexpr int margin = 8;   // pixels around the rows

Widget readout;
GC gc;
int visible;
int font_ascent, line_height;
int row_count;
char rows[readout_rows][readout_width + 1];     // as they should read
char drawn[readout_rows][readout_width + 1];    // as last drawn

void format_rows(const Measures& m)
{
    Measures shown = m;
    if (!shown.measured)
        shown.channels = app_resources.stereo ? 2 : 1;
    const ShownLevels scale = shown_levels();
    row_count = format_readout(shown, scale.calibration_db, scale.unit, rows);
}

// Draws the rows that differ from what was drawn, or all of them.
void draw_rows(bool all)
{
    if (!gc)
        return;
    Display* d = XtDisplay(readout);
    for (int i = 0; i < row_count; ++i) {
        if (!all && std::strcmp(rows[i], drawn[i]) == 0)
            continue;
        XDrawImageString(d, XtWindow(readout), gc, margin, margin + font_ascent + i * line_height,
                         rows[i], readout_width);
        std::memcpy(drawn[i], rows[i], sizeof rows[i]);
    }
}

void expose_callback(Widget w, XtPointer, XtPointer)
{
    if (!gc) {
        Pixel fg = 0, bg = 0;
        XtVaGetValues(w, XmNforeground, &fg, XmNbackground, &bg, nullptr);
        gc = XCreateGC(XtDisplay(w), XtWindow(w), 0, nullptr);
        XSetForeground(XtDisplay(w), gc, fg);
        XSetBackground(XtDisplay(w), gc, bg);
        if (app_resources.gridfont)
            XSetFont(XtDisplay(w), gc, app_resources.gridfont->fid);
    }
    draw_rows(true);
}

// Closed, the dialog is unmanaged and nothing more is measured for it.
void closed() {}

void create_measurements_window()
{
    measurements_dialog = create_view_window("Measurements", &visible, closed);
    XtVaSetValues(XtParent(measurements_dialog), XmNtitle, "Zentaphon: Measurements", XmNiconName,
                  "Zentaphon: Measurements", nullptr);

    format_rows(current_measures());
    int char_width = 6;
    line_height = 13;
    font_ascent = 10;
    if (const XFontStruct* font = app_resources.gridfont) {
        char_width = font->max_bounds.width;
        font_ascent = font->max_bounds.ascent;
        line_height = font->max_bounds.ascent + font->max_bounds.descent;
    }
    Arg args[6];
    Cardinal n = 0;
    XtSetArg(args[n], XmNtopAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNleftAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNbottomAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNrightAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNwidth, static_cast<Dimension>(2 * margin + readout_width * char_width)); ++n;
    XtSetArg(args[n], XmNheight, static_cast<Dimension>(2 * margin + row_count * line_height)); ++n;
    readout = XmCreateDrawingArea(measurements_dialog, const_cast<char*>("Readout"), args, n);
    XtManageChild(readout);
    XtAddCallback(readout, XmNexposeCallback, expose_callback, nullptr);
}

} // namespace

void show_measurements_window()
{
    show_dialog(measurements_dialog, create_measurements_window);
}

bool measurements_window_open()
{
    return measurements_dialog && XtIsManaged(measurements_dialog);
}

void show_measures(const Measures& m)
{
    format_rows(m);
    if (visible)
        draw_rows(false);
}
