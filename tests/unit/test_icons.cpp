// The two built-in icons: their XPM data, parsed with libXpm without a
// display, and the pixmaps made from them on a private Xvfb server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <X11/Shell.h>
#include <X11/Xutil.h>
#include <X11/xpm.h>

#include "app/Icons.h"
#include "tests/unit/private_display.h"

namespace {

using Spot = std::pair<int, int>;   // row, column of a pixel

// An icon as parsed by libXpm, each pixel turned back into its colour key.
struct Parsed {
    int status = XpmFileInvalid;
    unsigned width = 0, height = 0, cpp = 0;
    std::vector<std::pair<std::string, std::string>> colours;   // key, colour
    std::vector<std::string> rows;

    char at(int r, int c) const { return rows.at(r).at(c); }
    std::set<Spot> pixels(char key) const
    {
        std::set<Spot> s;
        for (int r = 0; r < static_cast<int>(rows.size()); r++)
            for (int c = 0; c < static_cast<int>(rows[r].size()); c++)
                if (rows[r][c] == key)
                    s.insert({r, c});
        return s;
    }
};

Parsed parse(const char* const* data)
{
    Parsed p;
    XpmImage image{};
    XpmInfo info{};
    p.status = XpmCreateXpmImageFromData(const_cast<char**>(data), &image, &info);
    if (p.status != XpmSuccess)
        return p;
    p.width = image.width;
    p.height = image.height;
    p.cpp = image.cpp;
    for (unsigned i = 0; i < image.ncolors; i++)
        p.colours.emplace_back(image.colorTable[i].string, image.colorTable[i].c_color);
    for (unsigned r = 0; image.cpp == 1 && r < image.height; r++) {
        std::string row;
        for (unsigned c = 0; c < image.width; c++)
            row += image.colorTable[image.data[r * image.width + c]].string[0];
        p.rows.push_back(row);
    }
    XpmFreeXpmImage(&image);
    XpmFreeXpmInfo(&info);
    return p;
}

const Parsed& spectrum()
{
    static const Parsed p = parse(spectrum_icon);
    return p;
}

const Parsed& scope()
{
    static const Parsed p = parse(scope_icon);
    return p;
}

// Top row of the bar in column c: from there down to the bottom edge the
// column is red, the two grid rows excepted. 48 for no bar.
int bar_top(int c)
{
    int top = 48;
    for (int r = 47; r >= 0 && (r == 12 || r == 31 || spectrum().at(r, c) == 'b'); r--)
        if (r != 12 && r != 31)
            top = r;
    return top;
}

}  // namespace

TEST(IconData, HeaderLinesStandAsWritten)
{
    EXPECT_STREQ(spectrum_icon[0], "    48    48        4            1");
    EXPECT_STREQ(spectrum_icon[1], ". c #333333");
    EXPECT_STREQ(spectrum_icon[2], "# c #666666");
    EXPECT_STREQ(spectrum_icon[3], "a c #999999");
    EXPECT_STREQ(spectrum_icon[4], "b c #ff3030");
    EXPECT_STREQ(scope_icon[0], "48 48 3 1");
    EXPECT_STREQ(scope_icon[1], " \tc #333333333333");
    EXPECT_STREQ(scope_icon[2], ".\tc #FFFF30303030");
    EXPECT_STREQ(scope_icon[3], "X\tc #999999999999");
    for (int r = 0; r < 48; r++) {
        EXPECT_EQ(std::strlen(spectrum_icon[5 + r]), 48u) << "spectrum row " << r;
        EXPECT_EQ(std::strlen(scope_icon[4 + r]), 48u) << "scope row " << r;
    }
}

TEST(IconData, ParseToOpaque48By48ImagesInTheAnalyserColours)
{
    using Table = std::vector<std::pair<std::string, std::string>>;
    for (const Parsed* p : {&spectrum(), &scope()}) {
        ASSERT_EQ(p->status, XpmSuccess);
        EXPECT_EQ(p->width, 48u);
        EXPECT_EQ(p->height, 48u);
        EXPECT_EQ(p->cpp, 1u);
    }
    // Every colour a real one: no "None", so no transparency.
    EXPECT_EQ(spectrum().colours,
              (Table{{".", "#333333"}, {"#", "#666666"}, {"a", "#999999"}, {"b", "#ff3030"}}));
    EXPECT_EQ(scope().colours,
              (Table{{" ", "#333333333333"}, {".", "#FFFF30303030"}, {"X", "#999999999999"}}));
}

TEST(SpectrumIcon, GridLinesFillRows12And31Only)
{
    ASSERT_EQ(spectrum().rows.size(), 48u);
    EXPECT_EQ(spectrum().rows[12], std::string(48, 'a'));
    EXPECT_EQ(spectrum().rows[31], std::string(48, '#'));
    EXPECT_EQ(spectrum().pixels('a').size() + spectrum().pixels('#').size(), 96u);
}

TEST(SpectrumIcon, RedBarsRiseFromTheBottomWithThePeakInColumn3)
{
    ASSERT_EQ(spectrum().rows.size(), 48u);
    for (int r = 43; r < 48; r++)
        EXPECT_EQ(spectrum().rows[r], std::string(48, 'b')) << "row " << r;
    std::set<int> tops;
    for (int c = 0; c < 48; c++) {
        // Background above the bar: one bar per column, nothing floating.
        for (int r = 0; r < bar_top(c); r++)
            EXPECT_TRUE(r == 12 || r == 31 || spectrum().at(r, c) == '.') << r << "," << c;
        if (c != 3) {
            EXPECT_GT(bar_top(c), 8) << "column " << c << " as high as the peak";
        }
        tops.insert(bar_top(c));
    }
    EXPECT_EQ(bar_top(3), 8);
    EXPECT_GE(tops.size(), 10u) << "bar heights hardly vary";
}

TEST(ScopeIcon, ThinGreyDiagonalFromRow33Col15ToRow16Col32)
{
    std::set<Spot> line;
    for (int k = 0; k <= 17; k++)
        line.insert({33 - k, 15 + k});
    EXPECT_EQ(scope().pixels('X'), line);
}

TEST(ScopeIcon, RedLoopSpansRows10To39InTheMiddle)
{
    std::set<Spot> red = scope().pixels('.');
    ASSERT_FALSE(red.empty());
    auto [rmin, rmax] = std::minmax_element(red.begin(), red.end());
    auto [cmin, cmax] = std::minmax_element(red.begin(), red.end(), [](Spot a, Spot b) {
        return a.second < b.second;
    });
    EXPECT_EQ(rmin->first, 10);
    EXPECT_EQ(rmax->first, 39);
    EXPECT_NEAR((cmin->second + cmax->second) / 2.0, 23.5, 2.0);
    // Irregular: turned half round about its middle, it covers other pixels.
    int moved = 0;
    for (auto [r, c] : red)
        moved += !red.count({rmin->first + rmax->first - r, cmin->second + cmax->second - c});
    EXPECT_GE(moved, static_cast<int>(red.size()) / 5);
}

TEST(ScopeIcon, RedTraceIsClosedAndThick)
{
    ASSERT_EQ(scope().rows.size(), 48u);
    std::set<Spot> red = scope().pixels('.');
    // Closed: a flood of the other pixels from the border, in horizontal and
    // vertical steps, never reaches the inside of the loop.
    std::set<Spot> outside;
    std::vector<Spot> todo;
    for (int i = 0; i < 48; i++)
        for (Spot p : {Spot{0, i}, Spot{47, i}, Spot{i, 0}, Spot{i, 47}})
            todo.push_back(p);
    while (!todo.empty()) {
        Spot p = todo.back();
        todo.pop_back();
        if (p.first < 0 || p.first > 47 || p.second < 0 || p.second > 47 || red.count(p) ||
            !outside.insert(p).second)
            continue;
        for (Spot d : {Spot{1, 0}, Spot{-1, 0}, Spot{0, 1}, Spot{0, -1}})
            todo.push_back({p.first + d.first, p.second + d.second});
    }
    EXPECT_FALSE(outside.count({24, 24})) << "the middle lies outside the trace";
    EXPECT_GE(48 * 48 - red.size() - outside.size(), 100u) << "little or nothing inside";
    // Thick: every red pixel lies in a 2 x 2 square of trace pixels (red, or
    // grey where the diagonal crosses).
    auto trace = [](int r, int c) { return r >= 0 && r < 48 && c >= 0 && c < 48 && scope().at(r, c) != ' '; };
    for (auto [r, c] : red) {
        bool square = false;
        for (int dr = -1; dr <= 0; dr++)
            for (int dc = -1; dc <= 0; dc++)
                square = square || (trace(r + dr, c + dc) && trace(r + dr + 1, c + dc) &&
                                    trace(r + dr, c + dc + 1) && trace(r + dr + 1, c + dc + 1));
        EXPECT_TRUE(square) << "one-pixel trace at " << r << "," << c;
    }
}

// ---------------------------------------------------------------------------
// The pixmaps made at start-up.

namespace {

// The colour of one pixel of a pixmap, 8 bits each of red, green, blue.
unsigned long rgb(Pixmap pixmap, int row, int col)
{
    Display* display = XtDisplay(toplevel);
    XImage* image = XGetImage(display, pixmap, col, row, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr)
        return ~0ul;
    XColor colour{};
    colour.pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    XQueryColor(display, DefaultColormap(display, DefaultScreen(display)), &colour);
    return ((colour.red >> 8) << 16) | ((colour.green >> 8) << 8) | (colour.blue >> 8);
}

}  // namespace

TEST(CreateIcons, MakesBoth48By48PixmapsWithoutMasks)
{
    ASSERT_TRUE(private_display::started()) << "no Xvfb server";
    Display* display = XtDisplay(toplevel);
    for (Pixmap pixmap : {spectrum_icon_pixmap, scope_icon_pixmap}) {
        ASSERT_NE(pixmap, static_cast<Pixmap>(None));
        Window root;
        int x, y;
        unsigned width, height, border, depth;
        ASSERT_TRUE(XGetGeometry(display, pixmap, &root, &x, &y, &width, &height, &border, &depth));
        EXPECT_EQ(width, 48u);
        EXPECT_EQ(height, 48u);
    }
    EXPECT_EQ(spectrum_icon_mask, static_cast<Pixmap>(None));
    EXPECT_EQ(scope_icon_mask, static_cast<Pixmap>(None));
    // Each pixmap shows its own picture.
    EXPECT_EQ(rgb(spectrum_icon_pixmap, 7, 3), 0x333333ul);
    EXPECT_EQ(rgb(spectrum_icon_pixmap, 8, 3), 0xff3030ul);
    EXPECT_EQ(rgb(spectrum_icon_pixmap, 12, 40), 0x999999ul);
    EXPECT_EQ(rgb(spectrum_icon_pixmap, 31, 40), 0x666666ul);
    EXPECT_EQ(rgb(scope_icon_pixmap, 0, 0), 0x333333ul);
    EXPECT_EQ(rgb(scope_icon_pixmap, 16, 32), 0x999999ul);
    ASSERT_FALSE(scope().pixels('.').empty());
    auto [r, c] = *scope().pixels('.').begin();
    EXPECT_EQ(rgb(scope_icon_pixmap, r, c), 0xff3030ul);
}

TEST(CreateIcons, SpectrumIconIsTheIconOfTheControlWindow)
{
    ASSERT_TRUE(private_display::started()) << "no Xvfb server";
    Pixmap pixmap = None, mask = 1;
    XtVaGetValues(toplevel, XtNiconPixmap, &pixmap, XtNiconMask, &mask, nullptr);
    EXPECT_EQ(pixmap, spectrum_icon_pixmap);
    EXPECT_EQ(mask, static_cast<Pixmap>(None));
    // And the window manager's hints say so.
    XWMHints* hints = XGetWMHints(XtDisplay(toplevel), XtWindow(toplevel));
    ASSERT_NE(hints, nullptr);
    EXPECT_TRUE(hints->flags & IconPixmapHint);
    EXPECT_EQ(hints->icon_pixmap, spectrum_icon_pixmap);
    XFree(hints);
}
