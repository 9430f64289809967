#include "app/SavedSettings.h"

#include "analyser/Analyser.h"
#include "analyser/AnalyserExport.h"
#include "analyser/Readings.h"
#include "app/AppResources.h"
#include "app/ControlWindow.h"
#include "common/RegularFile.h"

#include <X11/Intrinsic.h>
#include <X11/Xresource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

const char* const saved_names[] = {"averaging", "frequencyScale", "peakLevel", "dbfs", "calibration",
                                   "levelUnit", "referenceColor", "alpha", "decay", "zoom"};

std::string config_directory()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg)
        return xdg;
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.config" : std::string();
}

bool make_directory(const std::string& dir)
{
    if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "error: cannot save the settings: %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
}

const char* truth(bool on)
{
    return on ? "True" : "False";
}

bool write_settings(std::FILE* f, const void*)
{
    const Analyser& a = analysers[0];
    std::fprintf(f, "Zentaphon.averaging: %d\n", a.averaging);
    std::fprintf(f, "Zentaphon.frequencyScale: %s\n", a.log_scale ? "log" : "linear");
    std::fprintf(f, "Zentaphon.peakLevel: %s\n", truth(a.show_peak_level));
    std::fprintf(f, "Zentaphon.dbfs: %s\n", truth(a.dbfs));
    std::fprintf(f, "Zentaphon.calibration: %.6g\n", a.level_scale.calibration);
    std::fprintf(f, "Zentaphon.levelUnit: %s\n", a.level_scale.unit.c_str());
    std::fprintf(f, "Zentaphon.referenceColor: %s\n", app_resources.referencecolor ? app_resources.referencecolor : "cyan");
    std::fprintf(f, "Zentaphon.alpha: %g\n", get_scale_value(alpha_scale));
    std::fprintf(f, "Zentaphon.decay: %g\n", get_scale_value(decay_scale));
    std::fprintf(f, "Zentaphon.zoom: %g\n", get_scale_value(zoom_scale));
    return !std::ferror(f);
}

// "Zentaphon.name: value" with a saved name.
bool is_saved_line(const std::string& line)
{
    const std::string prefix = "Zentaphon.";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    std::string name = line.substr(prefix.size(), colon - prefix.size());
    name.erase(name.find_last_not_of(" \t") + 1);
    for (const char* n : saved_names)
        if (name == n)
            return true;
    return false;
}

// A skipped line as it is shown: its first echo_limit bytes, each byte that
// is no printable ASCII character as \xHH, and "..." when there is more.
std::string echoed(const std::string& line)
{
    constexpr size_t echo_limit = 80;
    std::string out;
    for (size_t i = 0; i < line.size() && i < echo_limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (line.size() > echo_limit)
        out += "...";
    return out;
}

} // namespace

const char* saved_settings_path()
{
    static std::string path;
    const std::string dir = config_directory();
    path = dir.empty() ? std::string() : dir + "/zentaphon/Zentaphon";
    return path.c_str();
}

bool save_settings()
{
    const std::string dir = config_directory();
    if (dir.empty()) {
        std::fprintf(stderr, "error: cannot save the settings: neither XDG_CONFIG_HOME nor HOME is set\n");
        return false;
    }
    if (!make_directory(dir) || !make_directory(dir + "/zentaphon"))
        return false;
    const std::string path = saved_settings_path();
    if (!write_file_atomically(path.c_str(), write_settings, nullptr))
        return false;
    std::fprintf(stderr, "settings saved to %s\n", path.c_str());
    return true;
}

void merge_saved_settings(Display* display)
{
    const std::string path = saved_settings_path();
    if (path.empty())
        return;
    std::string text, error;
    if (!read_regular_file(path.c_str(), text, error)) {
        if (errno != ENOENT)   // else nothing saved yet
            std::fprintf(stderr, "error: cannot read the saved settings %s: %s\n", path.c_str(), error.c_str());
        return;
    }
    std::istringstream in(text);
    XrmDatabase saved = nullptr;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '!' || line[start] == '#')
            continue;
        if (!is_saved_line(line)) {
            std::fprintf(stderr, "error: %s line %d: \"%s\" is no saved setting, skipped\n", path.c_str(), number,
                         echoed(line).c_str());
            continue;
        }
        XrmPutLineResource(&saved, line.c_str());
    }
    if (!saved)
        return;
    XrmDatabase target = XtDatabase(display);
    XrmCombineDatabase(saved, &target, False);
}
