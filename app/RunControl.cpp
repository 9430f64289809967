// The run control behind the two Run toggles: the sampler runs exactly
// while at least one view runs, and the work procedure is installed exactly
// while the sampler runs.
#include "app/RunControl.h"

#include "analyser/Analyser.h"
#include "analyser/AnalyserWindow.h"
#include "app/AppResources.h"
#include "app/ControlWindow.h"
#include "app/Startup.h"
#include "app/Views.h"
#include "common/BlockInputs.h"
#include "pcm/PCM.h"
#include "sampler/Sampler.h"
#include "scope/Scope.h"
#include "scope/ScopeWindow.h"

#include <Xm/ToggleB.h>
#include <cstdio>
#include <cstdlib>

XtWorkProcId work_proc_id;
bool analyser_running;
bool scope_running;

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
        stop_sampling();
    }
    update_toggles();
}

void stop_sampling()
{
    sampler.stop();
    analyser_running = false;
    scope_running = false;
    for (int i = 0; i < view_count; ++i)
        if (views[i].stop)
            views[i].stop();
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
    in.bits = sampler.resolution;
    return in;
}

// What the analysers made of the block just processed, for the views fed
// after them.
static AnalysedLevels levels_of_analysers()
{
    AnalysedLevels l{};
    l.areas = app_resources.stereo ? 2 : 1;
    for (unsigned int i = 0; i < l.areas; ++i) {
        const Analyser& a = analysers[i];
        l.raw_db[i] = a.initialised && !a.frozen ? a.raw_level.get() : nullptr;
    }
    const Analyser& a = analysers[0];
    l.components = a.num_fft;
    l.averaging = a.averaging;
    l.peak_search = a.peak_search && a.initialised;
    if (l.peak_search) {
        l.first_marked = a.first_marked_component();
        l.last_marked = a.last_marked_component();
    }
    l.scale = shown_levels();
    return l;
}

// Each open view of the given feed takes the block.
static void feed_views(View::Feed feed, const Block& block)
{
    for (int i = 0; i < view_count; ++i)
        if (views[i].feed == feed && (views[i].takes_blocks ? views[i].takes_blocks() : views[i].open()))
            views[i].take_block(block);
}

Boolean sample_work_proc(XtPointer)
{
    if (!sampler.read_block()) {
        stop_sampling();
        update_toggles();
        return True;
    }
    // A block the device failed to deliver is no sound: no view takes it.
    if (sampler.block_failed)
        return False;
    block_inputs = inputs_of_block();
    const int32_t* samples = sampler.buffer.get();
    if (analyser_running) {
        bool draw = analyser_visible != 0;
        if (app_resources.stereo) {
            analysers[0].process_block(samples, Analyser::Left, draw);
            analysers[1].process_block(samples, Analyser::Right, draw);
        } else {
            analysers[0].process_block(samples, Analyser::Mono, draw);
        }
        const AnalysedLevels levels = levels_of_analysers();
        feed_views(View::AfterAnalysers, Block{samples, sampler.length, sampler.count, block_inputs, &levels});
        XFlush(XtDisplay(main_window));
    }
    if (scope_running) {
        scope.draw_block(samples, scope_visible != 0);
        XFlush(XtDisplay(main_window));
    }
    feed_views(View::EveryBlock, Block{samples, sampler.length, sampler.count, block_inputs, nullptr});
    return False;
}

void run_view(bool& running, bool on, void (*show_window)())
{
    running = on;
    if (running)
        show_window();
    update_sampling();
}

void stop_view(Widget run_toggle, bool& running)
{
    XmToggleButtonSetState(run_toggle, False, False);
    running = false;
    update_sampling();
}

void quit()
{
    PCM::exiting = true;
    if (sampler.device_pcm)
        sampler.stop();
    XtDestroyApplicationContext(app_context);
    std::exit(0);
}

void quit_callback(Widget, XtPointer, XtPointer)
{
    quit();
}

int display_lost(Display* display)
{
    PCM::exiting = true;
    if (sampler.device_pcm)
        sampler.stop();
    std::fprintf(stderr, "error: lost the connection to the X display %s; exiting\n",
                 DisplayString(display));
    std::exit(1);
}
