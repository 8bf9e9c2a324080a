// The installer's entry routine: reading the command line from the end, the dispatch to the
// per-application routines, and the one warning box.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/kz_main.h"
#include "tests/unit/installer_fake_registry.h"

namespace {

using kzMain::Outcome;
using kzTest::FakeRegistry;
using kzTest::Sz;

const std::u16string kListed = u"/A \"kzTEXTBRAID.TEXTBRAID\"";
const std::u16string kApps[] = {u"Excel", u"Word", u"Access", u"Outlook", u"PowerPoint"};

std::u16string OptionsKey(const std::u16string& app) {
    return u"Software\\Microsoft\\Office\\16.0\\" + app + u"\\Options";
}

// Every application lists the server's add-in as its only entry, so a removal and an addition
// both show which routine ran and with what.
void ListEverywhere(FakeRegistry& registry) {
    for (const auto& app : kApps)
        registry.Set(OptionsKey(app), u"OPEN", Sz(kListed));
}

struct Box {
    std::u16string text;
    std::u16string title;
    std::uint32_t style;
};

struct Recorder {
    std::vector<Box> boxes;
    kzMain::MessageBoxFn Fn() {
        return
            [this](const std::u16string& text, const std::u16string& title, std::uint32_t style) {
                boxes.push_back({text, title, style});
            };
    }
};

struct LineCase {
    const char16_t* line;
    Outcome outcome;
    const char16_t* app = nullptr;    // the application whose list changed, if any
    const char16_t* added = nullptr;  // the entry appended as OPEN1; none: OPEN was deleted
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << '"' << kzTest::Narrow(c.line) << '"';
}

class CommandLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(CommandLineTest, RunsTheRightRoutineOrNothing) {
    const LineCase& c = GetParam();
    FakeRegistry registry;
    FakeRegistry expected;
    ListEverywhere(registry);
    ListEverywhere(expected);
    if (c.app && c.added) expected.Set(OptionsKey(c.app), u"OPEN1", Sz(c.added));
    if (c.app && !c.added) {
        expected = FakeRegistry();
        for (const auto& app : kApps) {
            if (app == c.app) {
                expected.AddKey(OptionsKey(app));
            } else {
                expected.Set(OptionsKey(app), u"OPEN", Sz(kListed));
            }
        }
    }
    Recorder recorder;

    EXPECT_EQ(kzMain::Main(c.line, registry.Factory(), recorder.Fn()), c.outcome);

    EXPECT_EQ(registry.Dump(), expected.Dump());
    EXPECT_TRUE(recorder.boxes.empty());
    if (c.outcome == Outcome::Ignored) {
        EXPECT_EQ(registry.creations, 0);
    }
}

const LineCase kLineCases[] = {
    {u"kzTEXTBRAID.TEXTBRAID EXCEL 1", Outcome::Completed, u"Excel"},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL 0", Outcome::Completed},
    {u"New.Addin powerpoint 0", Outcome::Completed, u"PowerPoint", u"/A \"New.Addin\""},
    {u"New.Addin Word 1", Outcome::Completed, u"Word", u"/A \"New.Addin\""},
    {u"New.Addin aCCess 0", Outcome::Completed, u"Access", u"/A \"New.Addin\""},
    {u"kzTEXTBRAID.TEXTBRAID OUTLOOK 1", Outcome::Completed, u"Outlook"},
    {u"", Outcome::Ignored},
    {u"    ", Outcome::Ignored},
    {u"EXCEL 1", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL  1", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID  EXCEL 1", Outcome::Completed, u"Excel"},
    {u"  kzTEXTBRAID.TEXTBRAID EXCEL 1  ", Outcome::Completed, u"Excel"},
    {u"X EXCEL 1 0", Outcome::Ignored},
    {u"A B EXCEL 0", Outcome::Completed, u"Excel", u"/A \"BA\""},
    {u"New.Addin VISIO 0", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL 1\t", Outcome::Completed},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL 01", Outcome::Completed},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL 2", Outcome::Completed},
    {u"\tTabbed.Id EXCEL 0", Outcome::Completed, u"Excel", u"/A \"\tTabbed.Id\""},
    {u"\"Quoted.Id\" Excel 0", Outcome::Completed, u"Excel", u"/A \"\"Quoted.Id\"\""},
    {u"Mixed.Case.ID excel 0", Outcome::Completed, u"Excel", u"/A \"Mixed.Case.ID\""},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL\t1", Outcome::Ignored},
};

INSTANTIATE_TEST_SUITE_P(Installer, CommandLineTest, testing::ValuesIn(kLineCases));

const std::u16string kExpectedText =
    std::u16string(u"To be able to fully use this product: ") + u"\r\n" +
    u" After this install, open Excel, then go to the Add-Ins list. " + u"\r\n" +
    u"  - If \"Tallyspan.Spanwise\" is in the list, select it." + u"\r\n" +
    u"  - If not in the list, click \"Automation\", find and select \"Tallyspan.Spanwise\".";

struct StopCase {
    const char* what;
    int failingCreation;                   // 0: none; the chain of 16.0 holds an array instead
    std::vector<const char16_t*> written;  // Excel versions listing the add-in afterwards
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.what;
}

class WarningBoxTest : public testing::TestWithParam<StopCase> {};

// 17.0 and 15.0 have empty chains; 16.0's OPEN is a multi-string value unless a creation fails.
// Creations: 99.0..18.0 are 1..82; 17.0 step 83, read 84, write 85; 16.0 step 86.
TEST_P(WarningBoxTest, ShowsTheBoxOnceAndKeepsWhatWasDone) {
    const StopCase& c = GetParam();
    FakeRegistry registry;
    FakeRegistry expected;
    for (FakeRegistry* r : {&registry, &expected}) {
        r->AddKey(u"Software\\Microsoft\\Office\\17.0\\Excel\\Options");
        r->AddKey(u"Software\\Microsoft\\Office\\15.0\\Excel\\Options");
        if (c.failingCreation == 0) {
            r->Set(u"Software\\Microsoft\\Office\\16.0\\Excel\\Options", u"OPEN",
                   kzTest::MultiSz({u"x"}));
        } else {
            r->AddKey(u"Software\\Microsoft\\Office\\16.0\\Excel\\Options");
        }
    }
    for (const char16_t* version : c.written) {
        expected.Set(
            u"Software\\Microsoft\\Office\\" + std::u16string(version) + u"\\Excel\\Options",
            u"OPEN", Sz(kListed));
    }
    registry.creationFails = [&c](int n) {
        return c.failingCreation < 0 || n == c.failingCreation;
    };
    Recorder recorder;

    EXPECT_EQ(kzMain::Main(u"kzTEXTBRAID.TEXTBRAID EXCEL 0", registry.Factory(), recorder.Fn()),
              Outcome::WarningShown);

    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].title, u"SPANWISE Formula");
    EXPECT_EQ(recorder.boxes[0].text, kExpectedText);
    EXPECT_EQ(recorder.boxes[0].style, 0x30u);  // MB_ICONEXCLAMATION | MB_OK
    EXPECT_EQ(registry.Dump(), expected.Dump());
    EXPECT_EQ(registry.liveShells, 0);
}

const StopCase kStopCases[] = {
    {"no shell at all", -1, {}},
    {"the shell of 16.0's step", 86, {u"17.0"}},
    {"an array in 16.0's chain", 0, {u"17.0"}},
};

INSTANTIATE_TEST_SUITE_P(Installer, WarningBoxTest, testing::ValuesIn(kStopCases));

TEST(InstallerMain, AFailingBoxDoesNotEscape) {
    FakeRegistry registry;
    registry.creationFails = [](int) { return true; };
    const kzMain::MessageBoxFn throwing = [](const std::u16string&, const std::u16string&,
                                             std::uint32_t) {
        throw std::runtime_error("no display");
    };
    EXPECT_EQ(kzMain::Main(u"a EXCEL 0", registry.Factory(), throwing), Outcome::WarningShown);
}

}  // namespace
