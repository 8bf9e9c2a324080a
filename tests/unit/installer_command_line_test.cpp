// The argument text of the Windows program: its command line without its own path.
#include <gtest/gtest.h>

#include <string>

#include "installer/command_line.h"

namespace {

struct ArgumentCase {
    const char16_t* commandLine;
    const char16_t* arguments;
};

void PrintTo(const ArgumentCase& c, std::ostream* os) {
    for (const char16_t* p = c.commandLine; *p; ++p)
        *os << static_cast<char>(*p < 0x80 ? *p : '?');
}

class ArgumentTextTest : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentTextTest, DropsTheProgramTokenAndItsSeparatorOnly) {
    EXPECT_EQ(std::u16string(kzMain::ArgumentText(GetParam().commandLine)), GetParam().arguments);
}

const ArgumentCase kArgumentCases[] = {
    {u"AddinSetup.exe kz.A EXCEL 0", u"kz.A EXCEL 0"},
    {u"\"C:\\Program Files\\T B\\AddinSetup.exe\" kz.A EXCEL 0", u"kz.A EXCEL 0"},
    {u"C:\\\"Program Files\"\\AddinSetup.exe kz.A EXCEL 0", u"kz.A EXCEL 0"},
    {u"AddinSetup.exe \t  kz.A  EXCEL 1  ", u"kz.A  EXCEL 1  "},
    {u"AddinSetup.exe\tkz.A EXCEL 1\t", u"kz.A EXCEL 1\t"},
    {u"AddinSetup.exe \"kz.A\" EXCEL 1", u"\"kz.A\" EXCEL 1"},
    {u"AddinSetup.exe", u""},
    {u"\"C:\\a b\\AddinSetup.exe\"   ", u""},
    {u"", u""},
};

INSTANTIATE_TEST_SUITE_P(Installer, ArgumentTextTest, testing::ValuesIn(kArgumentCases));

}  // namespace
