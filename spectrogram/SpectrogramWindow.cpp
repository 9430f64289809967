// The "Spectrogram" dialog. Its size is set here: the plot of each area is
// 600 columns (600 blocks, 28 s at 2048 frames and 44100 Hz) beside the
// scale strip, 250 rows high.
#include "spectrogram/SpectrogramWindow.h"

#include "analyser/AnalyserExport.h"
#include "analyser/AnalyserMenu.h"
#include "app/AppResources.h"
#include "app/Views.h"
#include "common/Text.h"
#include "sampler/Sampler.h"
#include "spectrogram/SpectrogramPalette.h"

#include <Xm/DrawingA.h>
#include <Xm/Form.h>
#include <Xm/Xm.h>
#include <cstdio>
#include <memory>

Widget spectrogram_dialog;
Widget spectrogram_areas[2];
int spectrogram_visible;
Spectrogram spectrograms[2];

namespace {

constexpr unsigned int plot_columns = 600;
constexpr unsigned int area_rows = 250;

unsigned long palette[256];
bool log_scale;             // the analysers' frequency axis

unsigned int shown_areas()
{
    return app_resources.stereo ? 2 : 1;
}

// An 8-bit channel value placed in a visual's colour mask.
unsigned long channel_bits(unsigned int value, unsigned long mask)
{
    int shift = 0, bits = 0;
    for (; mask && !(mask & 1); mask >>= 1)
        ++shift;
    for (; mask & 1; mask >>= 1)
        ++bits;
    if (bits == 0)
        return 0;
    const unsigned long top = (1ul << bits) - 1;
    return ((value * top + 127) / 255) << shift;
}

void make_palette(const Visual* visual)
{
    const bool grey = zen::strcasecmp(app_resources.spectrogramcolors, "gray") == 0;
    for (unsigned int i = 0; i < 256; ++i) {
        const Rgb c = spectrogram_colour(i, grey);
        palette[i] = channel_bits(c.r, visual->red_mask) | channel_bits(c.g, visual->green_mask) |
                     channel_bits(c.b, visual->blue_mask);
    }
}

// The analysers' components: as many as a block's.
unsigned int components()
{
    const unsigned int n = sampler.length < Sampler::max_length ? sampler.length : Sampler::max_length;
    return n / 2 + 1;
}

void area_callback(Widget, XtPointer client_data, XtPointer call_data)
{
    const long i = reinterpret_cast<long>(client_data);
    auto* cb = static_cast<XmDrawingAreaCallbackStruct*>(call_data);
    Spectrogram& s = spectrograms[i];
    if (cb->reason == XmCR_EXPOSE) {
        if (!s.initialised())
            s.init(XtDisplay(spectrogram_areas[i]), XtWindow(spectrogram_areas[i]), palette, components(),
                   log_scale);
        if (cb->event->xexpose.count == 0)   // the last of a series: the whole area once
            s.draw(s.window());
    } else if (cb->reason == XmCR_RESIZE && s.initialised()) {
        s.resize();
        if (spectrogram_visible)
            s.draw(s.window());
    }
}

// Closing stops the drawing only; the analyser goes on.
void closed()
{
    spectrogram_visible = 0;
}

Widget create_area(const char* name, long index, bool stereo, Dimension width)
{
    Arg args[8];
    Cardinal n = 0;
    XtSetArg(args[n], XmNtopAttachment, index == 1 ? XmATTACH_POSITION : XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNtopPosition, 50); ++n;
    XtSetArg(args[n], XmNbottomAttachment, index == 0 && stereo ? XmATTACH_POSITION : XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNbottomPosition, 50); ++n;
    XtSetArg(args[n], XmNleftAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNrightAttachment, XmATTACH_FORM); ++n;
    XtSetArg(args[n], XmNwidth, width); ++n;
    XtSetArg(args[n], XmNheight, static_cast<Dimension>(area_rows)); ++n;
    Widget area = XmCreateDrawingArea(spectrogram_dialog, const_cast<char*>(name), args, n);
    XtManageChild(area);
    XtPointer client = reinterpret_cast<XtPointer>(index);
    XtAddCallback(area, XmNexposeCallback, area_callback, client);
    XtAddCallback(area, XmNresizeCallback, area_callback, client);
    add_analyser_menu(area);
    return area;
}

void create_spectrogram_window()
{
    spectrogram_dialog = create_view_window("Spectrogram", &spectrogram_visible, closed);
    XtVaSetValues(XtParent(spectrogram_dialog), XmNtitle, "Zentaphon: Spectrogram", nullptr);

    const XFontStruct* font = app_resources.gridfont;
    const int font_width = font ? font->max_bounds.rbearing - font->min_bounds.lbearing : 0;
    const auto width = static_cast<Dimension>(plot_columns + Spectrogram::strip_width(font_width));
    const bool stereo = app_resources.stereo;
    spectrogram_areas[0] = create_area("Display0", 0, stereo, width);
    if (stereo)
        spectrogram_areas[1] = create_area("Display1", 1, stereo, width);
}

} // namespace

void show_spectrogram_window()
{
    if (!spectrogram_dialog) {
        const Visual* visual = DefaultVisualOfScreen(XtScreen(views_parent()));
        if (visual->c_class != TrueColor) {
            std::fprintf(stderr, "error: the spectrogram needs a TrueColor display\n");
            return;
        }
        make_palette(visual);
    }
    show_dialog(spectrogram_dialog, create_spectrogram_window);
}

bool spectrogram_open()
{
    return spectrogram_dialog && XtIsManaged(spectrogram_dialog);
}

void spectrogram_take_block(const Block& b)
{
    const double time = static_cast<double>(b.count + 1) * b.frames / b.inputs.rate;
    for (unsigned int i = 0; i < shown_areas(); ++i)
        if (spectrograms[i].initialised() && b.levels->raw_db[i])
            spectrograms[i].add_block(b.levels->raw_db[i], b.levels->components, b.inputs.lowerdb,
                                      b.inputs.upperdb, time, spectrogram_visible != 0);
}

void spectrogram_set_log_scale(bool on)
{
    log_scale = on;
    for (unsigned int i = 0; i < shown_areas(); ++i) {
        spectrograms[i].set_log_scale(on);
        if (spectrograms[i].initialised() && spectrogram_visible)
            spectrograms[i].draw(spectrograms[i].window());
    }
}

bool read_spectrogram_picture(unsigned int& width, unsigned int& height, std::unique_ptr<unsigned char[]>& rgb)
{
    const unsigned int shown = shown_areas();
    height = 0;
    for (unsigned int i = 0; i < shown; ++i) {
        if (!spectrograms[i].initialised()) {
            std::fprintf(stderr, "error: cannot export the spectrogram: it has not been drawn yet\n");
            return false;
        }
        height += spectrograms[i].height();
    }
    width = spectrograms[0].width();
    if (shown == 2 && spectrograms[1].width() != width) {
        std::fprintf(stderr, "error: cannot export the spectrogram: the areas differ in width\n");
        return false;
    }
    rgb = std::make_unique<unsigned char[]>(static_cast<size_t>(width) * height * 3);
    unsigned char* rows = rgb.get();
    for (unsigned int i = 0; i < shown; ++i) {
        Spectrogram& s = spectrograms[i];
        Display* d = s.display();
        const Pixmap pixmap = XCreatePixmap(d, s.window(), s.width(), s.height(),
                                            static_cast<unsigned int>(DefaultDepth(d, DefaultScreen(d))));
        s.draw(pixmap);
        const bool ok = read_picture(d, pixmap, s.width(), s.height(), rows);
        XFreePixmap(d, pixmap);
        if (!ok)
            return false;
        rows += static_cast<size_t>(width) * s.height() * 3;
    }
    return true;
}

bool spectrogram_export_part(ExportPart& part)
{
    part.suffix = "-spectrogram.png";
    part.what = "spectrogram";
    part.write_csv = nullptr;
    return read_spectrogram_picture(part.width, part.height, part.rgb);
}
