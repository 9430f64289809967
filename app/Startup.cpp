// Program start: toolkit, settings, windows, and each setting where it applies.
#include "app/Startup.h"

#include "analyser/AnalyserMenu.h"
#include "analyser/ReadingsMenu.h"
#include "app/AppResources.h"
#include "app/ControlWindow.h"
#include "app/ErrorDialog.h"
#include "app/Icons.h"
#include "app/RunControl.h"
#include "app/SavedSettings.h"
#include "app/Views.h"
#include "pcm/PCM.h"
#include "sampler/Sampler.h"

#include <Xm/MainW.h>
#include <Xm/Protocols.h>
#include <Xm/Xm.h>
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

void initialize_settings(int& argc, char** argv)
{
    program_name = argv[0];
    PCM::hints = true;
    toplevel = XtAppInitialize(&app_context, "Zentaphon", option_table, option_count, &argc, argv,
                               fallback_resources, nullptr, 0);
    if (argc != 1)
        usage();
    XSetIOErrorHandler(display_lost);
    collect_start_up_errors();   // the dialog, if on, shows the reports of the settings too
    merge_saved_settings(XtDisplay(toplevel));
    read_app_resources(toplevel);
    install_error_dialog();
    check_app_resources();
}

namespace {

// The words of the settings table's last column.
template <typename T>
void read_where_used(T)
{
}

void select_source(String source)
{
    sampler.source = zen::strcasecmp(source, "Soundcard") == 0 ? Sampler::Soundcard : Sampler::Diskfile;
}

// Each setting goes where the table says it applies, in the table's order.
void apply_settings()
{
#define ZEN_SETTING_APPLY(field, name, cls, type, value, check, fallback, applies)                 \
    applies(app_resources.field);
    ZEN_SETTINGS(ZEN_SETTING_APPLY)
#undef ZEN_SETTING_APPLY
}

} // namespace

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
    apply_settings();
    for (int i = 0; i < view_count; ++i)
        if (views[i].apply_settings)
            views[i].apply_settings();
    show_analyser_window();
    show_scope_window();
    for (int i = 0; i < view_count; ++i)
        if (views[i].opening && app_resources.*views[i].opening)
            views[i].show();
    update_toggles();
}
