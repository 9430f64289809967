// Program start: toolkit, settings, windows, sampler settings.
#include "app/Startup.h"

#include "analyser/MeasurementsWindow.h"
#include "app/AppResources.h"
#include "app/ControlWindow.h"
#include "app/ErrorDialog.h"
#include "app/Icons.h"
#include "sampler/Sampler.h"

#include <Xm/MainW.h>
#include <Xm/Protocols.h>
#include <Xm/Xm.h>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

XtAppContext app_context;
Widget toplevel;
Widget main_window;
Atom wm_delete_window;
const char* program_name;

void usage()
{
    std::fprintf(stderr,
                 "usage: %s [-rate rate] [-length length] [-resolution resolution] "
                 "[-device device] [-dcadjust bool] [-soundcard] [-diskfile] [-file file]\n",
                 program_name);
    std::exit(1);
}

namespace zen {

int strcasecmp(const char* a, const char* b)
{
    for (std::size_t i = 0;; ++i) {
        // Bytes as signed 8-bit values, as the comparison has always been.
        auto fold = [](char c) {
            return static_cast<signed char>(std::tolower(static_cast<signed char>(c)));
        };
        signed char ca = fold(a[i]);
        signed char cb = fold(b[i]);
        if (ca == 0 && cb == 0)
            return 0;
        if (ca != cb)
            return ca > cb ? 1 : -1;
    }
}

} // namespace zen

// The analyser maps levels from upperdb at the top to lowerdb at the bottom;
// an empty or inverted range has no such map.
static void check_db_range()
{
    float& upper = app_resources.upperdb;
    float& lower = app_resources.lowerdb;
    if (std::isfinite(upper) && std::isfinite(lower) && upper > lower)
        return;
    std::fprintf(stderr, "error: upperdb %g is not above lowerdb %g, using +10 and -100\n",
                 static_cast<double>(upper), static_cast<double>(lower));
    upper = 10.0f;
    lower = -100.0f;
}

// The measuring options: averaging over 1 to 1000 blocks, a linear or
// logarithmic frequency scale.
static void check_measuring_settings()
{
    int& blocks = app_resources.averaging;
    if (blocks < 1 || blocks > 1000) {
        std::fprintf(stderr, "error: averaging %d is not between 1 and 1000, using 1\n", blocks);
        blocks = 1;
    }
    String& scale = app_resources.frequencyscale;
    if (!scale || (zen::strcasecmp(scale, "linear") != 0 && zen::strcasecmp(scale, "log") != 0)) {
        std::fprintf(stderr, "error: frequencyScale \"%s\" is neither linear nor log, using linear\n",
                     scale ? scale : "");
        scale = const_cast<String>("linear");
    }
    if (!app_resources.exportdirectory || !*app_resources.exportdirectory)
        app_resources.exportdirectory = const_cast<String>(".");
    int& harmonics = app_resources.harmonics;
    if (harmonics < 2 || harmonics > 100) {
        std::fprintf(stderr, "error: harmonics %d is not between 2 and 100, using 9\n", harmonics);
        harmonics = 9;
    }
}

void initialize_settings(int& argc, char** argv)
{
    program_name = argv[0];
    toplevel = XtAppInitialize(&app_context, "Zentaphon", option_table, option_count, &argc, argv,
                               fallback_resources, nullptr, 0);
    if (argc != 1)
        usage();
    XSetIOErrorHandler(display_lost);
    read_app_resources(toplevel);
    install_error_dialog();   // the settings' own reports below show in it too
    check_db_range();
    check_measuring_settings();
}

static void copy_sampler_settings()
{
    sampler.source = zen::strcasecmp(app_resources.source, "Soundcard") == 0 ? Sampler::Soundcard
                                                                              : Sampler::Diskfile;
    sampler.filename = app_resources.filename;
    sampler.rate = app_resources.samplerate;
    sampler.length = static_cast<unsigned int>(app_resources.samplelength);
    sampler.resolution = app_resources.sampleresolution;
    sampler.device = app_resources.sampledevice;
}

void start_up(int& argc, char** argv)
{
    initialize_settings(argc, argv);

    main_window = XmCreateMainWindow(toplevel, const_cast<char*>("MainWindow"), nullptr, 0);
    XtManageChild(main_window);
    create_control_window();
    XtRealizeWidget(toplevel);

    Display* display = XtDisplay(toplevel);
    wm_delete_window = XmInternAtom(display, const_cast<char*>("WM_DELETE_WINDOW"), False);
    Atom wm_protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    XmAddProtocolCallback(toplevel, wm_protocols, wm_delete_window, quit_callback, nullptr);

    create_icons();
    copy_sampler_settings();
    apply_resources();
    show_analyser_window();
    show_scope_window();
    if (app_resources.measurements)
        show_measurements_window();
    update_toggles();
}
