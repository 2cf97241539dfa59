#include "app/man_page.h"

#include <gtest/gtest.h>

#include "app/options.h"

using namespace lumeno::app;

TEST(HelpTextTest, LinesUpDescriptionsAndGivesAWideOptionALineOfItsOwn) {
    const OptionDoc rows[] = {
        {"--port", "N", "listen on TCP port N"},
        {"--export-transcript", "FILE", "write the transcript\nto FILE"},
        {"--demo", "", "stream the demo"},
    };
    EXPECT_EQ(formatOptionRows(rows),
              "  --port N              listen on TCP port N\n"
              "  --export-transcript FILE\n"
              "                        write the transcript\n"
              "                        to FILE\n"
              "  --demo                stream the demo\n");
}

TEST(ManPageTest, EscapesWhatGroffWouldReadAsMarkup) {
    const std::pair<const char*, const char*> cases[] = {
        {"--config-dir DIR", "\\-\\-config\\-dir DIR"},
        {"16-bit or float (--set a=b)", "16-bit or float (\\-\\-set a=b)"},
        {"C:\\temp", "C:\\etemp"},
        {".hidden\n'quoted' here", "\\&.hidden\n\\&'quoted' here"},
    };
    for (const auto& [plain, groff] : cases) EXPECT_EQ(manText(plain), groff) << plain;
}

TEST(ManPageTest, DocumentsEveryRowOfTheOptionTableWithTheVersion) {
    const std::string page = manPage(optionTable(), "1.2.3", "2026-01-02");
    EXPECT_EQ(page.rfind(".TH LUMENO 1 \"2026-01-02\" \"lumeno 1.2.3\"", 0), 0u);
    EXPECT_NE(page.find("\nlumeno \\- "), std::string::npos);  // the whatis entry
    for (const auto& option : optionTable()) {
        const auto first = option.names.substr(0, option.names.find(", "));
        EXPECT_NE(page.find(".TP\n\\fB" + manText(first) + "\\fR"), std::string::npos) << option.names;
        if (!option.argument.empty()) {
            EXPECT_NE(page.find("\\fI" + manText(option.argument) + "\\fR\n"), std::string::npos) << option.names;
        }
        EXPECT_NE(usageText().find(std::string(option.names)), std::string::npos) << option.names;
    }
}
