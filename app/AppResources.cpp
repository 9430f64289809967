// The settings table made into what the toolkit and the start-up need:
// the resource table, the fallback lines, the number check and the checks
// of the rows; and the command-line options.
#include "app/AppResources.h"

#include "common/Text.h"

#include <X11/StringDefs.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

AppResources app_resources;

#define S(text) const_cast<char*>(text)

namespace {

// The words of the check and fallback columns.
constexpr SettingCheck unchecked{SettingCheck::Unchecked, 0, 0, {}, nullptr};
constexpr SettingCheck not_empty{SettingCheck::NotEmpty, 0, 0, {}, nullptr};
constexpr SettingCheck power_of_two{SettingCheck::PowerOfTwo, 0, 0, {}, nullptr};
constexpr SettingCheck range(double low, double high)
{
    return {SettingCheck::InRange, low, high, {}, nullptr};
}
template <typename... Words>
constexpr SettingCheck choices(const char* a, const char* b, Words... more)
{
    static_assert(2 + sizeof...(more) <= SettingCheck::max_choices, "at most max_choices choices");
    return {SettingCheck::OneOf, 0, 0, {a, b, more...}, nullptr};
}
constexpr SettingCheck above(const char* other)
{
    return {SettingCheck::AboveOther, 0, 0, {}, other};
}

// A row's two conditions, the second made once the first has passed.
struct TwoChecks {
    SettingCheck check, then;
};
constexpr TwoChecks both(SettingCheck check, SettingCheck then)
{
    return {check, then};
}
constexpr TwoChecks checks_of(SettingCheck check)
{
    return {check, unchecked};
}
constexpr TwoChecks checks_of(TwoChecks checks)
{
    return checks;
}

struct Fallback {
    int position;
    const char* line;
};
constexpr Fallback fallback(int position, const char* line)
{
    return {position, line};
}
constexpr Fallback no_fallback{0, nullptr};

template <typename Type, typename Default>
constexpr Setting row(const char* name, const char* resource_class, Cardinal size, Cardinal offset,
                      Default value, TwoChecks checks, Fallback fallback)
{
    constexpr bool immediate = std::is_integral<Default>::value;
    static_assert(immediate == (std::is_same<Type, setting_type::Int>::value ||
                                std::is_same<Type, setting_type::Boolean>::value),
                  "Int and Boolean rows take a number as their default, the others a text");
    if constexpr (immediate)
        return {name, resource_class, Type::representation, size, offset, true, value, nullptr,
                checks.check, checks.then, fallback.position, fallback.line};
    else
        return {name, resource_class, Type::representation, size, offset, false, 0, value,
                checks.check, checks.then, fallback.position, fallback.line};
}

} // namespace

#define ZEN_SETTING_ROW(field, name, cls, type, value, check, fallback, applies)                   \
    row<setting_type::type>(name, cls, static_cast<Cardinal>(sizeof(AppResources::field)),        \
                            static_cast<Cardinal>(offsetof(AppResources, field)), value,          \
                            checks_of(check), fallback),
constexpr Setting settings[app_resource_count] = {ZEN_SETTINGS(ZEN_SETTING_ROW)};
#undef ZEN_SETTING_ROW

namespace {

// The widget lines, the fallback lines after those of the settings.
const char* const widget_fallbacks[] = {
    "Zentaphon*Control*XmForm.marginWidth:\t3",
    "Zentaphon*Control*XmForm.marginHeight:\t3",
    "Zentaphon*Control.horizontalSpacing:\t5",
    "Zentaphon*Control.verticalSpacing:\t5",
    "Zentaphon.title:\t\tZentaphon: Control",
    "Zentaphon.iconName:\t\tZentaphon: Control",
    "Zentaphon*Analyser_popup.title:\tZentaphon: Frequency Spectrum",
    "Zentaphon*Scope_popup.title:\tZentaphon: XY Scope",
    "Zentaphon*Help_popup.title:\tZentaphon: Help",
    "Zentaphon*HelpText.width:\t500",
    "Zentaphon*HelpText.height:\t450",
    "Zentaphon*background:\t\tsteelblue",
    "Zentaphon*foreground:\t\tyellow",
    "Zentaphon*selectColor:\t\tred",
    "Zentaphon*XmLabel.foreground:\twhite",
    "Zentaphon*Alpha.maximum:\t500",
    "Zentaphon*Alpha.minimum:\t0",
    "Zentaphon*Alpha.decimalPoints:\t1",
    "Zentaphon*Alpha.titleString:\tAlpha for Gaussian",
    "Zentaphon*Alpha.orientation:\tHORIZONTAL",
    "Zentaphon*Alpha.showValue:\tTrue",
    "Zentaphon*Decay.maximum:\t1200",
    "Zentaphon*Decay.minimum:\t0",
    "Zentaphon*Decay.decimalPoints:\t1",
    "Zentaphon*Decay.titleString:\tDecay in dB/s",
    "Zentaphon*Decay.orientation:\tHORIZONTAL",
    "Zentaphon*Decay.showValue:\tTrue",
    "Zentaphon*Zoom.maximum:\t\t300",
    "Zentaphon*Zoom.minimum:\t\t0",
    "Zentaphon*Zoom.decimalPoints:\t1",
    "Zentaphon*Zoom.titleString:\tZoom in dB",
    "Zentaphon*Zoom.orientation:\tHORIZONTAL",
    "Zentaphon*Zoom.showValue:\tTrue",
    "Zentaphon*Analyser*XmDrawingArea.height:\t250",
    "Zentaphon*Analyser*XmDrawingArea.translations: #replace\t\\n\t<Btn1Down>:\tDrawingAreaInput()\t\t\\n\t<Btn1Motion>:\tDrawingAreaInput()",
    "Zentaphon*Scope*XmDrawingArea.width:\t\t300",
    "Zentaphon*Scope*XmDrawingArea.height:\t\t300",
    "Zentaphon*transient:\t\tFalse",
    "Zentaphon*recomputeSize:\tTrue",
    "Zentaphon*defaultPosition:\tTrue",
};
constexpr int widget_fallback_count = sizeof widget_fallbacks / sizeof widget_fallbacks[0];

// The rows with a fallback line hold the first lines, one each.
constexpr int setting_fallback_count()
{
    int n = 0;
    for (const Setting& s : settings)
        n += s.fallback_position > 0;
    for (int p = 1; p <= n; ++p) {
        int rows = 0;
        for (const Setting& s : settings)
            rows += s.fallback_position == p;
        if (rows != 1)
            return -1;
    }
    return n;
}
static_assert(setting_fallback_count() + widget_fallback_count == fallback_count,
              "the fallback lines: one position each for the settings, then the widgets");

bool make_tables()
{
    for (int i = 0; i < app_resource_count; ++i) {
        const Setting& s = settings[i];
        app_resource_table[i] = {S(s.name), S(s.resource_class), S(s.type), s.size, s.offset,
                                 S(s.immediate ? XtRImmediate : XtRString),
                                 s.immediate ? reinterpret_cast<XtPointer>(s.value) : S(s.text)};
        if (s.fallback_position > 0)
            fallback_resources[s.fallback_position - 1] = S(s.fallback_line);
    }
    for (int i = 0; i < widget_fallback_count; ++i)
        fallback_resources[setting_fallback_count() + i] = S(widget_fallbacks[i]);
    fallback_resources[fallback_count] = nullptr;
    return true;
}

} // namespace

XtResource app_resource_table[app_resource_count];
String fallback_resources[fallback_count + 1];
static const bool tables_made = make_tables();

XrmOptionDescRec option_table[] = {
    {S("-rate"), S(".samplerate"), XrmoptionSepArg, S("")},
    {S("-length"), S(".samplelength"), XrmoptionSepArg, S("")},
    {S("-resolution"), S(".sampleresolution"), XrmoptionSepArg, S("")},
    {S("-device"), S(".sampledevice"), XrmoptionSepArg, S("")},
    {S("-mono"), S(".stereo"), XrmoptionNoArg, S("False")},
    {S("-stereo"), S(".stereo"), XrmoptionNoArg, S("True")},
    {S("-soundcard"), S(".source"), XrmoptionNoArg, S("Soundcard")},
    {S("-diskfile"), S(".source"), XrmoptionNoArg, S("Diskfile")},
    {S("-filename"), S(".filename"), XrmoptionSepArg, S("")},
    {S("-dcadjust"), S(".dcadjust"), XrmoptionSepArg, S("")},
};

#define LENGTH(table) (sizeof table / sizeof table[0])
static_assert(LENGTH(option_table) == option_count, "option_count");

namespace {

bool is_float(const Setting& s)
{
    return std::strcmp(s.type, setting_type::Float::representation) == 0;
}

bool is_number(const Setting& s)
{
    return is_float(s) || std::strcmp(s.type, setting_type::Int::representation) == 0;
}

// The default as a number: Int rows hold it, Float rows give it as text.
double default_number(const Setting& s)
{
    return s.immediate ? static_cast<double>(s.value) : std::strtod(s.text, nullptr);
}

template <typename T>
T& field(const Setting& s)
{
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(&app_resources) + s.offset);
}

const Setting* setting_named(const char* name)
{
    for (const Setting& s : settings)
        if (std::strcmp(s.name, name) == 0)
            return &s;
    return nullptr;
}

XtErrorMsgHandler toolkit_warning = nullptr;

// Drops the toolkit's warning about a number it could not convert, which
// read_app_resources reports in its own words; passes on every other one.
void number_warning_filter(String name, String type, String cls, String text, String* params,
                           Cardinal* count)
{
    if (std::strcmp(name, "conversionError") == 0 && count && *count >= 2 &&
        (std::strcmp(params[1], XtRInt) == 0 || std::strcmp(params[1], XtRFloat) == 0))
        return;
    if (toolkit_warning)
        toolkit_warning(name, type, cls, text, params, count);
}

// The whole text, apart from surrounding blanks, as a number.
bool parse_number(const char* text, bool is_float, double& out)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (*text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    if (is_float) {
        const float f = std::strtof(text, &end);
        if (errno == ERANGE || !std::isfinite(f))
            return false;
        out = f;
    } else {
        const long v = std::strtol(text, &end, 10);
        if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
            return false;
        out = static_cast<double>(v);
    }
    while (std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    return *end == '\0';
}

void store(const Setting& s, double v)
{
    if (is_float(s))
        field<float>(s) = static_cast<float>(v);
    else
        field<int>(s) = static_cast<int>(v);
}

// The settings of one kind once more, as the texts they were given in
// (null when none was given): their rows into rows, the texts into texts;
// returns how many.
int texts_of(Widget w, bool (*kind)(const Setting&), const Setting** rows, String* texts)
{
    XtResource table[app_resource_count];
    int n = 0;
    for (const Setting& s : settings) {
        if (!kind(s))
            continue;
        table[n] = XtResource{S(s.name), S(s.resource_class), S(XtRString),
                              static_cast<Cardinal>(sizeof(String)),
                              static_cast<Cardinal>(n * sizeof(String)), S(XtRImmediate), nullptr};
        rows[n++] = &s;
    }
    XtGetApplicationResources(w, texts, table, static_cast<Cardinal>(n), nullptr, 0);
    return n;
}

// Each number setting once more, as the text it was given in, and checked.
void check_number_settings(Widget w)
{
    const Setting* numbers[app_resource_count];
    String texts[app_resource_count] = {};
    const int n = texts_of(w, is_number, numbers, texts);
    for (int i = 0; i < n; ++i) {
        const Setting& s = *numbers[i];
        const double fallback = default_number(s);
        double v = fallback;
        if (!texts[i]) {
            store(s, v);
        } else if (parse_number(texts[i], is_float(s), v)) {
            store(s, v);
        } else {
            std::fprintf(stderr, "error: resource %s: \"%s\" is not a number, using %g\n", s.name,
                         texts[i], fallback);
            store(s, fallback);
        }
    }
}

bool is_boolean(const Setting& s)
{
    return std::strcmp(s.type, setting_type::Boolean::representation) == 0;
}

// A word the toolkit takes for a Boolean, in any case.
bool is_boolean_word(const char* text)
{
    static const char* const words[] = {"true", "yes", "on", "1", "false", "no", "off", "0"};
    for (const char* word : words)
        if (zen::strcasecmp(text, word) == 0)
            return true;
    return false;
}

// Each Boolean setting once more, as the text it was given in: a word the
// toolkit could not convert is reported in the program's own line too (its
// warning stays), and the default is taken.
void check_boolean_settings(Widget w)
{
    const Setting* booleans[app_resource_count];
    String texts[app_resource_count] = {};
    const int n = texts_of(w, is_boolean, booleans, texts);
    for (int i = 0; i < n; ++i) {
        const Setting& s = *booleans[i];
        if (!texts[i] || is_boolean_word(texts[i]))
            continue;
        std::fprintf(stderr, "error: resource %s: \"%s\" is not a Boolean, using %s\n", s.name, texts[i],
                     s.value ? "True" : "False");
        field<Boolean>(s) = static_cast<Boolean>(s.value);
    }
}

double number_of(const Setting& s)
{
    return is_float(s) ? static_cast<double>(field<float>(s)) : field<int>(s);
}

bool check_range(const Setting& s, const SettingCheck& c)
{
    const double v = number_of(s);
    if (v >= c.low && v <= c.high)
        return true;
    if (is_float(s))
        std::fprintf(stderr, "error: %s %g is not between %g and %g, using %g\n", s.name, v, c.low,
                     c.high, default_number(s));
    else
        std::fprintf(stderr, "error: %s %d is not between %d and %d, using %d\n", s.name,
                     static_cast<int>(v), static_cast<int>(c.low), static_cast<int>(c.high),
                     static_cast<int>(s.value));
    store(s, default_number(s));
    return false;
}

// A text that is one of the row's words, in any case.
bool check_choices(const Setting& s, const SettingCheck& c)
{
    String& text = field<String>(s);
    int n = 0;
    for (; n < SettingCheck::max_choices && c.choice[n]; ++n)
        if (text && zen::strcasecmp(text, c.choice[n]) == 0)
            return true;
    char words[512] = "";
    if (n == 2) {
        std::snprintf(words, sizeof words, "neither %s nor %s", c.choice[0], c.choice[1]);
    } else {
        std::snprintf(words, sizeof words, "none of %s", c.choice[0]);
        for (int i = 1; i < n; ++i)
            std::snprintf(words + std::strlen(words), sizeof words - std::strlen(words), ", %s",
                          c.choice[i]);
    }
    std::fprintf(stderr, "error: %s \"%s\" is %s, using %s\n", s.name, text ? text : "", words,
                 s.text);
    text = S(s.text);
    return false;
}

// Two floats of which this one must be the greater, such as the top and
// the bottom of a scale; otherwise both take their defaults.
bool check_above(const Setting& s, const SettingCheck& c)
{
    const Setting* other = setting_named(c.other);
    if (!other)
        return true;
    float& upper = field<float>(s);
    float& lower = field<float>(*other);
    if (std::isfinite(upper) && std::isfinite(lower) && upper > lower)
        return true;
    std::fprintf(stderr, "error: %s %g is not above %s %g, using %+g and %+g\n", s.name,
                 static_cast<double>(upper), other->name, static_cast<double>(lower),
                 default_number(s), default_number(*other));
    store(s, default_number(s));
    store(*other, default_number(*other));
    return false;
}

// An Int row whose value must be a power of two.
bool check_power_of_two(const Setting& s)
{
    const int v = field<int>(s);
    if (v > 0 && (v & (v - 1)) == 0)
        return true;
    std::fprintf(stderr, "error: %s %d is not a power of two, using %d\n", s.name, v,
                 static_cast<int>(s.value));
    store(s, default_number(s));
    return false;
}

// Makes one of a row's checks; false when it failed (and the default was taken).
bool check_setting(const Setting& s, const SettingCheck& c)
{
    switch (c.kind) {
    case SettingCheck::Unchecked:
        return true;
    case SettingCheck::InRange:
        return check_range(s, c);
    case SettingCheck::OneOf:
        return check_choices(s, c);
    case SettingCheck::AboveOther:
        return check_above(s, c);
    case SettingCheck::NotEmpty:
        if (!field<String>(s) || !*field<String>(s))
            field<String>(s) = S(s.text);
        return true;
    case SettingCheck::PowerOfTwo:
        return check_power_of_two(s);
    }
    return true;
}

} // namespace

void read_app_resources(Widget w)
{
    XtAppContext app = XtWidgetToApplicationContext(w);
    toolkit_warning = XtAppSetWarningMsgHandler(app, number_warning_filter);
    XtGetApplicationResources(w, &app_resources, app_resource_table, app_resource_count, nullptr, 0);
    XtAppSetWarningMsgHandler(app, toolkit_warning);
    check_number_settings(w);
    check_boolean_settings(w);
}

void check_app_resources()
{
    for (const Setting& s : settings)
        if (check_setting(s, s.check))
            check_setting(s, s.then);
}
