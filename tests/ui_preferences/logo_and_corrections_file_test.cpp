#include <gtest/gtest.h>

#include "ui/preferences/corrections_file.h"
#include "ui/preferences/logo_image.h"

using namespace lumeno::ui;

// The kind comes from the bytes alone; anything that merely looks like text is not an SVG.
TEST(LogoKindTest, IsTakenFromTheBytes) {
    struct Case {
        std::string bytes;
        std::optional<LogoKind> kind;
    };
    const std::vector<Case> cases = {
        {std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), LogoKind::png},
        {"\xEF\xBB\xBF <?xml version=\"1.0\"?>\n<!-- made by hand -->\n<!DOCTYPE svg>\n<svg>", LogoKind::svg},
        {"<svgx>", std::nullopt},
        {"<html><svg></svg></html>", std::nullopt},
        {"\x89PNG", std::nullopt},  // a truncated signature
    };
    for (const auto& c : cases) EXPECT_EQ(detectLogoKind(c.bytes), c.kind) << c.bytes;
}

TEST(CorrectionsFileTest, AcceptsOnlyAnObjectOfTextsAndNamesWhatIsWrong) {
    struct Case {
        const char* file;
        lumeno::speech::CorrectionMap expected;
        const char* problem;  // part of the message; null when accepted
    };
    const std::vector<Case> cases = {
        {R"({"gods word": "God's Word", " Pastor JON ": "Pastor Jon"})",
         {{"gods word", "God's Word"}, {"pastor jon", "Pastor Jon"}}, nullptr},
        {R"({"a": "A", "b": ["B"]})", {}, "The correction for \"b\" is a list, not text."},
        {R"({"  ": "blank"})", {}, "A correction has no text as heard."},
        {R"({"a": "A")", {}, "The file is not valid JSON"},
    };
    for (const auto& c : cases) {
        auto parsed = parseCorrectionsFile(c.file);
        if (!c.problem) {
            ASSERT_TRUE(std::holds_alternative<lumeno::speech::CorrectionMap>(parsed)) << c.file;
            EXPECT_EQ(std::get<lumeno::speech::CorrectionMap>(parsed), c.expected);
        } else {
            ASSERT_TRUE(std::holds_alternative<CorrectionsFileError>(parsed)) << c.file;
            EXPECT_NE(std::get<CorrectionsFileError>(parsed).problem.find(c.problem), std::string::npos)
                << std::get<CorrectionsFileError>(parsed).problem;
        }
    }
}
