// AddinSetup's portable part over an in-memory registry: every row runs a command line and
// compares the whole registry afterwards; then the command line and the warning box.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "installer/command_line.h"
#include "installer/kz_install.h"
#include "installer/kz_main.h"
#include "installer/shell.h"

namespace kzInstall {
// How a failing comparison shows a value: its kind, then its text or its items' texts.
void PrintTo(const RegValue& v, std::ostream* os) {
    *os << int(v.kind()) << ':';
    for (const RegValue& item : v.kind() == RegValue::Kind::Array ? v.items() : std::vector{v})
        *os << testing::PrintToString(item.ToText()) << ' ';
}
}  // namespace kzInstall

namespace {

using kzInstall::RegValue;
using kzInstall::ShellFailure;
using kzInstall::UpperCase;
using kzMain::Outcome;

// The shell's answer for a key that exists without a default value.
enum class KeyProbe { EmptyText, Fails, Nothing };

// The current-user registry, upper-cased, with the faults asked for: refused writes and deletes,
// unreadable values (full paths), a failing shell creation, "not found" as the plain code 2.
struct Registry {
    std::map<std::u16string, std::map<std::u16string, RegValue>> keys;  // paths below the root
    std::set<std::u16string> refused, unreadable;
    int failingCreation = 0, creations = 0;  // 1-based; -1: every one
    bool garbling = false;                   // writes store what does not read back as written
    KeyProbe keyProbe = KeyProbe::EmptyText;
    std::int32_t notFound = static_cast<std::int32_t>(0x80070002u);

    void Set(const std::u16string& key, const std::optional<std::u16string>& name = {},
             const RegValue& value = {}) {
        auto& values = keys[UpperCase(key)];
        if (name) values[UpperCase(*name)] = value;
    }

    kzInstall::ShellFactory Factory();
};

// The installer's shell as the platform's scripting shell behaves: full paths from
// "HKEY_CURRENT_USER\", a path ending in "\" addressing the key itself, RegRead raising "not
// found" for anything absent, RegWrite creating a missing key.
struct FakeShell final : kzInstall::Shell {
    explicit FakeShell(Registry& registry) : r(registry) {}
    Registry& r;

    // The key below the root and the value name; the shell refuses any other root.
    static std::pair<std::u16string, std::u16string> Split(const std::u16string& path,
                                                           const std::set<std::u16string>& faults) {
        const std::u16string upper = UpperCase(path), root = u"HKEY_CURRENT_USER\\";
        if (upper.substr(0, root.size()) != root) throw ShellFailure("invalid root");
        if (faults.contains(upper)) throw ShellFailure("denied", 5);
        const std::size_t last = upper.rfind(u'\\');
        return {upper.substr(root.size(), last - root.size()), upper.substr(last + 1)};
    }

    RegValue RegRead(const std::u16string& path) override {
        const auto [key, name] = Split(path, r.unreadable);
        const auto k = r.keys.find(key);
        if (k == r.keys.end()) throw ShellFailure("no such key", r.notFound);
        if (k->second.contains(name)) return k->second.at(name);
        if (!name.empty() || r.keyProbe == KeyProbe::Fails)
            throw ShellFailure("no such value", r.notFound);
        return r.keyProbe == KeyProbe::EmptyText ? RegValue::String({}) : RegValue();
    }

    void RegWrite(const std::u16string& path, const RegValue& value,
                  const std::optional<std::u16string>& type) override {
        const auto [key, name] = Split(path, r.refused);
        const bool number = type ? *type == u"REG_DWORD" : value.kind() == RegValue::Kind::Number;
        r.keys[key][name] = number       ? RegValue::Number(value.number())
                            : r.garbling ? RegValue::String(u"/")
                                         : RegValue::String(value.ToText());
    }

    void RegDelete(const std::u16string& path) override {
        const auto [key, name] = Split(path, r.refused);
        if (!r.keys.contains(key) || r.keys[key].erase(name) == 0)
            throw ShellFailure("no such value", r.notFound);
    }
};

kzInstall::ShellFactory Registry::Factory() {
    return [this]() -> std::unique_ptr<kzInstall::Shell> {
        if (++creations == failingCreation || failingCreation < 0)
            throw ShellFailure("cannot create", static_cast<std::int32_t>(0x80040154));
        return std::make_unique<FakeShell>(*this);
    };
}

const std::u16string kEntry = u"/A \"kzTEXTBRAID.TEXTBRAID\"";
const std::u16string kRoot = u"HKEY_CURRENT_USER\\";
const std::u16string kId = u"kzTEXTBRAID.TEXTBRAID";
const char16_t* const kAdd = u"kzTEXTBRAID.TEXTBRAID EXCEL 0";
const char16_t* const kToggle = u"kzTEXTBRAID.TEXTBRAID EXCEL 1";
const char16_t* const kRemove = u"/uninstall kzTEXTBRAID.TEXTBRAID EXCEL";

std::u16string Key(const std::u16string& version, const char16_t* key = u"Options",
                   const std::u16string& app = u"Excel") {
    return u"Software\\Microsoft\\Office\\" + version + u"\\" + app + u"\\" + key;
}

// E our entry, O and T other add-ins' entries, #n a number, [v] a multi-string, else a text.
RegValue Value(const std::u16string& v) {
    if (v == u"E" || v == u"O" || v == u"T")
        return RegValue::String(v == u"E" ? kEntry : u"/A " + v);
    if (!v.empty() && v[0] == u'#') return RegValue::Number(v[1] - u'0');
    if (!v.empty() && v[0] == u'[') return RegValue::Array({Value(v.substr(1, v.size() - 2))});
    return RegValue::String(v);
}

// A registry layout, "|"-separated: NAME=V a value in Excel 16.0's Options; 17.0 an Options key
// of that version; 17.0:NAME=V, Word:NAME=V a value in that version's or application's;
// Word:-NAME that value gone; @ the add-in's Add-in Manager value, as Excel leaves it when the
// add-in is unticked. Faults: !NAME unreadable in 16.0; ~ every write and delete of the add-in's
// values refused; ^ every write reads back otherwise; % "not found" as the plain code 2; *N the
// Nth shell creation fails, * every one; ?f, ?n a key without a default value answered by
// failing, by nothing.
void Put(Registry& r, std::u16string_view layout) {
    const std::u16string options = UpperCase(kRoot + Key(u"16.0") + u"\\");
    for (std::size_t start = 0; start < layout.size();) {
        const std::size_t end = std::min(layout.find(u'|', start), layout.size());
        std::u16string item(layout.substr(start, end - start)), version = u"16.0", app = u"Excel";
        start = end + 1;
        const bool digit = item[0] >= u'0' && item[0] <= u'9';
        if (const std::size_t colon = item.find(u':'); colon != std::u16string::npos) {
            (digit ? version : app) = item.substr(0, colon);
            item = item.substr(colon + 1);
        } else if (digit) {
            r.Set(Key(item));
        }
        if (item == u"@") r.Set(Key(u"16.0", u"Add-in Manager"), kId, Value(u""));
        if (item[0] == u'-') r.keys[UpperCase(Key(version, u"Options", app))].erase(item.substr(1));
        if (item[0] == u'!') r.unreadable.insert(options + item.substr(1));
        if (item == u"%") r.notFound = 2;
        if (item == u"^") r.garbling = true;
        if (item[0] == u'*') r.failingCreation = item[1] ? (item[1] - 48) * 10 + item[2] - 48 : -1;
        if (item[0] == u'?') r.keyProbe = item == u"?f" ? KeyProbe::Fails : KeyProbe::Nothing;
        if (item == u"~") {
            for (const char16_t* name : {u"OPEN", u"OPEN1", u"OPEN2", u"OPEN3"})
                r.refused.insert(options + name);
            r.refused.insert(UpperCase(kRoot + Key(u"16.0", u"Add-in Manager\\") + kId));
        }
        if (const std::size_t eq = item.find(u'='); eq != std::u16string::npos)
            r.Set(Key(version, u"Options", app), item.substr(0, eq), Value(item.substr(eq + 1)));
    }
}

struct ChainCase {
    const char16_t* line;
    const char16_t* before;
    const char16_t* after;
    Outcome outcome = Outcome::Completed;
};

const ChainCase kChainCases[] = {
    // Adding and toggling: the entry is appended after the chain, or deleted when last.
    {kAdd, u"OPEN=O", u"OPEN=O|OPEN1=E"},
    {kAdd, u"OPEN=O|%", u"OPEN=O|OPEN1=E"},
    {kAdd, u"", u"OPEN=E"},
    {kAdd, u"OPEN=/a \"KZTEXTBRAID.textbraid\" ", u"OPEN=/a \"KZTEXTBRAID.textbraid\" "},
    {kToggle, u"OPEN=  /a \"KZTEXTBRAID.textbraid\" ", u""},
    // Latin-1 letters are upper-cased; the division sign is not a letter.
    {u"A\u00D7 EXCEL 0", u"OPEN=/A \"a\u00F7\"", u"OPEN=/A \"a\u00F7\"|OPEN1=/A \"A\u00D7\""},
    {kAdd, u"OPEN=/A  \"kzTEXTBRAID.TEXTBRAID\"", u"OPEN=/A  \"kzTEXTBRAID.TEXTBRAID\"|OPEN1=E"},
    {kAdd, u"OPEN=/A \"kzTEXTBRAID.TEXTBRAID\"\t", u"OPEN=/A \"kzTEXTBRAID.TEXTBRAID\"\t|OPEN1=E"},
    {kToggle, u"OPEN=O|OPEN2=E", u"OPEN=O|OPEN1=E|OPEN2=E"},
    {kToggle, u"OPEN=O|OPEN1=E|OPEN2=O", u"OPEN=O|OPEN1=E|OPEN2=O"},
    {kToggle, u"OPEN=O|OPEN1=T|OPEN2=E", u"OPEN=O|OPEN1=T"},
    {kAdd, u"OPEN=E", u"OPEN=E"},
    {kToggle, u"OPEN=#7|OPEN1=E", u"OPEN=#7"},
    {kAdd, u"OPEN=", u"OPEN=|OPEN1=E"},
    {kToggle, u"OPEN=E|OPEN1=[a]", u"OPEN=E|OPEN1=[a]"},
    {kAdd, u"OPEN=O|OPEN1=T|!OPEN1", u"OPEN=O|OPEN1=T", Outcome::LeftAlone},
    {kToggle, u"OPEN=E|OPEN1=O|!OPEN1", u"OPEN=E|OPEN1=O", Outcome::LeftAlone},
    {kAdd, u"OPEN=O|~", u"OPEN=O", Outcome::LeftAlone},
    {kAdd, u"OPEN=O|^", u"OPEN=O", Outcome::LeftAlone},
    {kToggle, u"OPEN=E|~", u"OPEN=E"},
    // Every version with an Options key, by the shell's answer for a key without a default value.
    {kAdd, u"99.0|10.0", u"99.0:OPEN=E|10.0:OPEN=E|OPEN=E"},
    {kAdd, u"99.0|10.0|?f", u"99.0|10.0|OPEN=E"},
    {kAdd, u"99.0|?n", u"99.0|OPEN=E"},
    // Shell creations: 99.0..18.0 are 1..82; 17.0: step 83, read 84, write 85, read back 86;
    // 16.0: step 87, read 88, write 89, read back 90. Only the step's own shell stops the run.
    {kAdd, u"*|17.0", u"17.0", Outcome::WarningShown},
    {kAdd, u"*87|17.0|15.0", u"17.0:OPEN=E|15.0", Outcome::WarningShown},
    {kAdd, u"*88|17.0|15.0", u"17.0:OPEN=E|15.0:OPEN=E", Outcome::LeftAlone},
    {kAdd, u"*89|17.0|15.0", u"17.0:OPEN=E|15.0:OPEN=E", Outcome::LeftAlone},
    {kAdd, u"*90|17.0|15.0", u"17.0:OPEN=E|15.0:OPEN=E", Outcome::LeftAlone},
    {kToggle, u"17.0|15.0|OPEN=[E]", u"17.0:OPEN=E|15.0|OPEN=[E]", Outcome::WarningShown},
    // Uninstalling: the entries at the end of the chain and the Add-in Manager value go.
    {kRemove, u"OPEN=O|OPEN1= /a \"kztextbraid.TEXTBRAID\"|@", u"OPEN=O"},
    {kRemove, u"OPEN=O|@", u"OPEN=O"},
    {kRemove, u"99.0:OPEN=E|10.0:OPEN=E", u"99.0|10.0"},
    {kRemove, u"OPEN=E|OPEN1=O|@", u"OPEN=E|OPEN1=O", Outcome::StillListed},
    {kRemove, u"OPEN=O|OPEN1=E|OPEN2=E", u"OPEN=O"},
    {kRemove, u"OPEN=E|OPEN1=#3|OPEN2=E", u"OPEN=E|OPEN1=#3", Outcome::StillListed},
    {kRemove, u"OPEN=[E]|OPEN1=E", u"OPEN=[E]"},
    {kRemove, u"OPEN=O|OPEN2=E", u"OPEN=O|OPEN2=E"},
    {kRemove, u"OPEN=E|OPEN1=O|!OPEN1", u"OPEN=E|OPEN1=O", Outcome::LeftAloneAndStillListed},
    {kRemove, u"OPEN=O|OPEN1=E|!OPEN", u"OPEN=O|OPEN1=E", Outcome::LeftAlone},
    {kRemove, u"OPEN=E|@|~", u"OPEN=E|@", Outcome::StillListed},
    {kRemove, u"@|~", u"@", Outcome::StillListed},
    {kRemove, u"OPEN=E|*", u"OPEN=E", Outcome::WarningShown},
    // Command lines: which routine runs, with what, or nothing at all (no shell created).
    {kToggle, u"OPEN=E", u""},
    {u"New.Addin Word 1", u"", u"Word:OPEN1=/A \"New.Addin\""},
    {u"New.Addin aCCess 0", u"", u"Access:OPEN1=/A \"New.Addin\""},
    {u"kzTEXTBRAID.TEXTBRAID OUTLOOK 1", u"", u"Outlook:-OPEN"},
    {u"", u"", u"", Outcome::Ignored},
    {u"EXCEL 1", u"", u"", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID", u"", u"", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL  1", u"OPEN=E", u"OPEN=E", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID  EXCEL 1", u"OPEN=E", u""},
    {u"  kzTEXTBRAID.TEXTBRAID EXCEL 1  ", u"OPEN=E", u""},
    {u"X EXCEL 1 0", u"", u"", Outcome::Ignored},
    {u"A B EXCEL 0", u"", u"OPEN=/A \"BA\""},
    {u"New.Addin VISIO 0", u"", u"", Outcome::Ignored},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL 1\t", u"OPEN=E", u"OPEN=E"},
    {u"\tTabbed.Id EXCEL 0", u"", u"OPEN=/A \"\tTabbed.Id\""},
    {u"\"Quoted.Id\" Excel 0", u"", u"OPEN=/A \"\"Quoted.Id\"\""},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL\t1", u"OPEN=E", u"OPEN=E", Outcome::Ignored},
    {u"  /UNINSTALL   kzTEXTBRAID.TEXTBRAID  PowerPoint ", u"", u"PowerPoint:-OPEN"},
    {u"/uninstall kzTEXTBRAID.TEXTBRAID VISIO", u"", u"", Outcome::Ignored},
    {u"/uninstall kzTEXTBRAID.TEXTBRAID", u"", u"", Outcome::Ignored},
    {u"/uninstall kzTEXTBRAID.TEXTBRAID EXCEL VISIO 0", u"", u"", Outcome::Ignored},
    {u"/uninstall Other\\kzTEXTBRAID.TEXTBRAID EXCEL", u"", u"", Outcome::Ignored},
    {u"/uninstall\tkzTEXTBRAID.TEXTBRAID EXCEL", u"OPEN=E", u"OPEN=E", Outcome::Ignored},
    // A line the three-part form accepts keeps its meaning.
    {u"/uninstall Word Excel", u"", u"Word:OPEN1=/A \"/uninstall\""},
};

// Neighbours that must never change: the other applications of the same version listing the
// add-in, another add-in's Add-in Manager value, the key's default value, and a version without
// an Options key.
TEST(Installer, EveryRowLeavesExactlyTheExpectedRegistry) {
    for (const ChainCase& c : kChainCases) {
        SCOPED_TRACE(testing::PrintToString(c.line) + " over " + testing::PrintToString(c.before));
        Registry registry, expected;
        for (Registry* r : {&registry, &expected}) {
            for (const char16_t* app : {u"Word", u"Access", u"Outlook", u"PowerPoint"})
                r->Set(Key(u"16.0", u"Options", app), u"OPEN", Value(u"E"));
            r->Set(Key(u"16.0", u"Add-in Manager", u"Access"), kId, Value(u""));
            r->Set(Key(u"16.0", u"Add-in Manager"), u"Other.Addin", Value(u""));
            r->Set(Key(u"16.0"), u"", Value(u"default"));
            r->Set(u"Software\\Microsoft\\Office\\15.0\\Excel");
        }
        Put(registry, c.before);
        Put(expected, c.after);
        int boxes = 0;  // every box shown must be the one warning box
        EXPECT_EQ(kzMain::Main(c.line, registry.Factory(),
                               [&boxes](const std::u16string&, const std::u16string& title,
                                        std::uint32_t style) {
                                   EXPECT_EQ(title, u"TextBraid Formula");
                                   EXPECT_EQ(style, 0x30u);  // MB_ICONEXCLAMATION | MB_OK
                                   ++boxes;
                               }),
                  c.outcome);
        EXPECT_EQ(boxes, c.outcome == Outcome::WarningShown ? 1 : 0);
        EXPECT_EQ(registry.keys, expected.keys);
        EXPECT_TRUE(c.outcome != Outcome::Ignored || registry.creations == 0);
    }
}

TEST(Installer, AFailingBoxDoesNotEscapeAndRoutinesKeepToOpenNames) {
    Registry registry, r, expected;
    registry.failingCreation = -1;
    EXPECT_EQ(kzMain::Main(u"a EXCEL 0", registry.Factory(),
                           [](const std::u16string&, const std::u16string&, std::uint32_t) {
                               throw std::runtime_error("no display");
                           }),
              Outcome::WarningShown);
    // Only values whose name holds OPEN are deleted.
    const std::u16string path = kRoot + Key(u"16.0") + u"\\";
    Put(r, u"Other=E|xOpEn9=E");
    EXPECT_FALSE(kzInstall::DeleteOpenValue(path, u"Other", r.Factory()));
    EXPECT_TRUE(kzInstall::DeleteOpenValue(path, u"xOpEn9", r.Factory()));
    EXPECT_FALSE(kzInstall::DeleteOpenValue(path, u"OPEN5", r.Factory()));
    Put(expected, u"Other=E");
    EXPECT_EQ(r.keys, expected.keys);
}

TEST(Installer, ArgumentTextDropsTheProgramTokenAndItsSeparatorOnly) {
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"AddinSetup.exe kz.A EXCEL 0", u"kz.A EXCEL 0"},
        {u"\"C:\\Program Files\\T B\\AddinSetup.exe\" kz.A EXCEL 0", u"kz.A EXCEL 0"},
        {u"C:\\\"Program Files\"\\AddinSetup.exe kz.A EXCEL 0", u"kz.A EXCEL 0"},
        {u"AddinSetup.exe \t  kz.A  EXCEL 1  ", u"kz.A  EXCEL 1  "},
        {u"AddinSetup.exe\tkz.A EXCEL 1\t", u"kz.A EXCEL 1\t"},
        {u"AddinSetup.exe \"kz.A\" EXCEL 1", u"\"kz.A\" EXCEL 1"},
        {u"\"C:\\a b\\AddinSetup.exe\"   ", u""},
        {u"", u""},
    };
    for (const auto& [line, arguments] : cases)
        EXPECT_EQ(std::u16string(kzMain::ArgumentText(line)), arguments)
            << testing::PrintToString(line);
}

}  // namespace
