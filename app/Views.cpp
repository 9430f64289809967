// The table of views and the shell's side of their interface.
#include "app/Views.h"

#include "analyser/Analyser.h"
#include "app/Icons.h"
#include "app/Startup.h"
#include "generator/GeneratorWindow.h"
#include "measurements/MeasurementsWindow.h"
#include "measurements/Measuring.h"
#include "spectrogram/SpectrogramWindow.h"
#include "transfer/TransferWindow.h"

#include <X11/keysym.h>

// In the order of the analyser's menu, of the start-up's windows and of
// the export's files.
const View views[] = {
    {"Transfer", &AppResources::transfer, XK_t, "TransferFunction", "Transfer function...", false,
     show_transfer_window, transfer_window_open, nullptr, View::EveryBlock, transfer_take_block, nullptr,
     transfer_sampling_stopped, nullptr, transfer_apply_settings},
    {"Measurements", &AppResources::measurements, XK_m, "Measurements", "Measurements...", true,
     show_measurements_window, measurements_window_open, measurements_take_blocks, View::AfterAnalysers, measure_block,
     measurements_export_part, nullptr, nullptr, nullptr},
    {"Spectrogram", &AppResources::spectrogram, XK_g, "Spectrogram", "Spectrogram...", false,
     show_spectrogram_window, spectrogram_open, nullptr, View::AfterAnalysers, spectrogram_take_block,
     spectrogram_export_part, nullptr, spectrogram_set_log_scale, nullptr},
    {"Generator", &AppResources::generator, XK_o, "Generator", "Generator...", true,
     show_generator_window, generator_window_open, generator_takes_blocks, View::EveryBlock, generator_take_block,
     nullptr, generator_sampling_stopped, nullptr, generator_apply_settings},
};
const int view_count = sizeof views / sizeof views[0];

ShownLevels shown_levels()
{
    const Analyser& a = analysers[0];
    if (!a.dbfs)
        return ShownLevels{0.0, "dBFS"};
    return ShownLevels{a.level_scale.calibration, a.level_scale.unit.c_str()};
}

Widget create_view_window(const char* name, int* visible, void (*closed)())
{
    return create_view_dialog(name, spectrum_icon_pixmap, spectrum_icon_mask, visible, closed);
}

Widget views_parent()
{
    return main_window;
}
