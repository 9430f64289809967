// The settings table against what the user reads: the manual page lists
// every resource of the table, in its order, with its class, type and
// default.
// gtest first: the X headers' macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include "app/AppResources.h"

#include <fstream>
#include <string>
#include <vector>

namespace {

// The ".BR name " (Class, Type, default)"" entries of the RESOURCES section,
// as "name (Class, Type, default)" with roff's \- read as a minus.
std::vector<std::string> manual_resources()
{
    std::ifstream in(ZEN_SOURCE_DIR "/dist/zentaphon.1.in");
    std::vector<std::string> entries;
    bool in_section = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".SH", 0) == 0)
            in_section = line == ".SH RESOURCES";
        const size_t quote = line.find(" \" (");
        if (!in_section || line.rfind(".BR ", 0) != 0 || quote == std::string::npos)
            continue;
        std::string entry = line.substr(4, quote - 4) + line.substr(quote + 2);
        entry.pop_back();   // the closing quote
        for (size_t p; (p = entry.find("\\-")) != std::string::npos;)
            entry.erase(p, 1);
        entries.push_back(entry);
    }
    return entries;
}

TEST(SettingsTable, ManualPageListsEveryResourceWithItsClassTypeAndDefault)
{
    std::vector<std::string> table;
    for (const Setting& s : settings) {
        std::string value = s.text ? s.text : std::to_string(s.value);
        if (std::string(s.type) == "Boolean")
            value = s.value ? "True" : "False";
        table.push_back(std::string(s.name) + " (" + s.resource_class + ", " + s.type + ", " +
                        value + ")");
    }
    EXPECT_EQ(manual_resources(), table);
}

} // namespace
