// AddinSetup's portable part over the in-memory registry: the OPEN chain of one version in each
// mode, the walk over the versions, shells that cannot be created, the command line and the
// warning box.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
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

namespace {

using kzInstall::RegValue;
using kzInstall::ShellFailure;
using kzInstall::UpperCase;
using kzMain::Outcome;

// An in-memory current-user registry behind the installer's shell interface, honouring the
// contract of the platform's scripting shell: full paths from "HKEY_CURRENT_USER\", a path ending
// in "\" addressing the key itself, RegRead raising for anything absent ("not found" comes as the
// HRESULT 0x80070002, as the platform's shell raises it, or as the plain code 2 on demand),
// numbers coming back as numbers and multi-string values as arrays, RegWrite creating a missing
// key. Faults on demand: refused writes and deletes, unreadable values, shells that cannot be
// created, and the shell's answer for a key without a default value.
struct Stored {
    std::u16string type;  // "REG_SZ", "REG_DWORD" or "REG_MULTI_SZ"
    RegValue data;
};

inline Stored Sz(std::u16string text) {
    return {u"REG_SZ", RegValue::String(std::move(text))};
}
inline Stored Dword(std::int64_t number) {
    return {u"REG_DWORD", RegValue::Number(number)};
}
inline Stored MultiSz(std::u16string text) {
    return {u"REG_MULTI_SZ", RegValue::Array({RegValue::String(std::move(text))})};
}

inline std::string Narrow(std::u16string_view text) {
    std::string result;
    for (char16_t c : text)
        result += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c))
                                        : "\\u" + std::to_string(static_cast<unsigned>(c));
    return result;
}

// What the shell answers when asked for a key that exists but has no default value.
enum class KeyProbe { EmptyText, Fails, Nothing };

class FakeRegistry {
  public:
    // Keys are paths below the root without a closing "\", e.g. "Software\Microsoft\Office".
    void Set(const std::u16string& key, const std::u16string& name, Stored value) {
        Key& k = keys_[UpperCase(key)];
        k.path = key;
        k.values[UpperCase(name)] = {name, std::move(value)};
    }
    void AddKey(const std::u16string& key) { keys_[UpperCase(key)].path = key; }

    // The whole registry as text, one line per key and per value, for comparisons.
    std::string Dump() const {
        std::string result;
        for (const auto& [upper, key] : keys_) {
            result += Narrow(key.path) + "\n";
            for (const auto& [upperName, named] : key.values) {
                result += "  [" + Narrow(named.first) + "] " + Narrow(named.second.type);
                for (const RegValue& item : named.second.data.kind() == RegValue::Kind::Array
                                                ? named.second.data.items()
                                                : std::vector{named.second.data})
                    result += " \"" + Narrow(item.ToText()) + "\"";
                result += "\n";
            }
        }
        return result;
    }

    kzInstall::ShellFactory Factory() {
        return [this]() -> std::unique_ptr<kzInstall::Shell> {
            if (creationFails && creationFails(++creations)) {
                throw ShellFailure("cannot create the shell",
                                   static_cast<std::int32_t>(0x80040154));
            }
            return std::make_unique<FakeShell>(*this);
        };
    }

    // Faults, by full path as the shell receives it, upper-cased.
    std::set<std::u16string> refused;  // writes and deletes
    std::set<std::u16string> unreadable;
    std::function<bool(int)> creationFails;  // called with the 1-based number of each creation
    int creations = 0;
    KeyProbe keyProbe = KeyProbe::EmptyText;
    std::int32_t notFound = static_cast<std::int32_t>(0x80070002u);

  private:
    struct Key {
        std::u16string path;
        std::map<std::u16string, std::pair<std::u16string, Stored>> values;  // by upper-case name
    };

    // The key below the root and the value name; the shell refuses any other root.
    static std::pair<std::u16string, std::u16string> Split(const std::u16string& path) {
        const std::u16string root = u"HKEY_CURRENT_USER\\";
        if (UpperCase(path.substr(0, root.size())) != root) throw ShellFailure("invalid root");
        const std::size_t last = path.rfind(u'\\');
        return {path.substr(root.size(), last - root.size()), path.substr(last + 1)};
    }

    class FakeShell final : public kzInstall::Shell {
      public:
        explicit FakeShell(FakeRegistry& registry) : r_(registry) {}

        RegValue RegRead(const std::u16string& path) override {
            const auto [key, name] = Split(path);
            if (r_.unreadable.contains(UpperCase(path))) throw ShellFailure("denied", 5);
            const auto k = r_.keys_.find(UpperCase(key));
            if (k == r_.keys_.end()) throw ShellFailure("no such key", r_.notFound);
            const auto v = k->second.values.find(UpperCase(name));
            if (v != k->second.values.end()) return v->second.second.data;
            if (!name.empty() || r_.keyProbe == KeyProbe::Fails) {
                throw ShellFailure("no such value", r_.notFound);
            }
            return r_.keyProbe == KeyProbe::EmptyText ? RegValue::String({}) : RegValue();
        }

        void RegWrite(const std::u16string& path, const RegValue& value,
                      const std::optional<std::u16string>& type) override {
            const auto [key, name] = Split(path);
            if (r_.refused.contains(UpperCase(path))) throw ShellFailure("denied", 5);
            const bool number =
                type ? *type == u"REG_DWORD" : value.kind() == RegValue::Kind::Number;
            Key& k = r_.keys_[UpperCase(key)];
            if (k.path.empty()) k.path = key;
            k.values[UpperCase(name)] = {name, number ? Dword(value.number()) : Sz(value.ToText())};
        }

        void RegDelete(const std::u16string& path) override {
            const auto [key, name] = Split(path);
            if (r_.refused.contains(UpperCase(path))) throw ShellFailure("denied", 5);
            const auto k = r_.keys_.find(UpperCase(key));
            if (k == r_.keys_.end() || k->second.values.erase(UpperCase(name)) == 0) {
                throw ShellFailure("no such value", r_.notFound);
            }
        }

      private:
        FakeRegistry& r_;
    };

    std::map<std::u16string, Key> keys_;  // by upper-case path
};

const std::u16string kEntry = u"/A \"kzTEXTBRAID.TEXTBRAID\"";
const std::u16string kOther = u"/A \"Other.Addin\"";
const std::u16string kThird = u"/A \"Third\"";
const std::u16string kOffice = u"Software\\Microsoft\\Office\\";
const std::u16string kRoot = u"HKEY_CURRENT_USER\\";
const char16_t* const kAdd = u"kzTEXTBRAID.TEXTBRAID EXCEL 0";
const char16_t* const kToggle = u"kzTEXTBRAID.TEXTBRAID EXCEL 1";
const char16_t* const kUninstall = u"/uninstall kzTEXTBRAID.TEXTBRAID EXCEL";

std::u16string Options(const std::u16string& version, const std::u16string& app = u"Excel") {
    return kOffice + version + u"\\" + app + u"\\Options";
}
std::u16string Manager(const std::u16string& version, const std::u16string& app = u"Excel") {
    return kOffice + version + u"\\" + app + u"\\Add-in Manager";
}

// Runs a command line; every box shown must be the one warning box.
Outcome RunLine(FakeRegistry& registry, std::u16string_view line, int* boxes = nullptr) {
    return kzMain::Main(
        line, registry.Factory(),
        [boxes](const std::u16string&, const std::u16string& title, std::uint32_t style) {
            EXPECT_EQ(title, u"SPANWISE Formula");
            EXPECT_EQ(style, 0x30u);  // MB_ICONEXCLAMATION | MB_OK
            if (boxes) ++*boxes;
        });
}

struct ChainCase {
    const char* what;
    const char16_t* line;
    // Excel 16.0's values, "|"-separated NAME=VALUE: E our entry, O and T other add-ins' entries,
    // #n a number, [text] a multi-string, anything else a text as written; "@" is the add-in's
    // value under Add-in Manager, as Excel leaves it when the add-in is unticked.
    const char16_t* before;
    const char16_t* after;
    Outcome outcome = Outcome::Completed;
    const char16_t* unreadable = u"";  // a name in Excel 16.0's Options key
    bool refuse = false;               // every write and delete of the add-in's values
    std::int32_t notFound = static_cast<std::int32_t>(0x80070002u);
};

void PrintTo(const ChainCase& c, std::ostream* os) {
    *os << c.what;
}

void Put(FakeRegistry& registry, std::u16string_view values) {
    for (std::size_t start = 0; start < values.size();) {
        const std::size_t end = std::min(values.find(u'|', start), values.size());
        const std::u16string_view item = values.substr(start, end - start);
        start = end + 1;
        if (item == u"@") {
            registry.Set(Manager(u"16.0"), u"kzTEXTBRAID.TEXTBRAID", Sz(u""));
            continue;
        }
        const std::u16string name(item.substr(0, item.find(u'=')));
        const std::u16string v(item.substr(item.find(u'=') + 1));
        registry.Set(Options(u"16.0"), name,
                     v == u"E"      ? Sz(kEntry)
                     : v == u"O"    ? Sz(kOther)
                     : v == u"T"    ? Sz(kThird)
                     : v[0] == u'#' ? Dword(v[1] - u'0')
                     : v[0] == u'[' ? MultiSz(v.substr(1, v.size() - 2))
                                    : Sz(v));
    }
}

class ChainTest : public testing::TestWithParam<ChainCase> {};

// Neighbours that must never change: another application of the same version, another add-in's
// Add-in Manager value, the key's default value, and a version without an Options key.
TEST_P(ChainTest, LeavesExactlyTheExpectedRegistry) {
    const ChainCase& c = GetParam();
    FakeRegistry registry;
    FakeRegistry expected;
    for (FakeRegistry* r : {&registry, &expected}) {
        r->Set(Options(u"16.0", u"Word"), u"OPEN", Sz(kEntry));
        r->Set(Manager(u"16.0", u"Word"), u"kzTEXTBRAID.TEXTBRAID", Sz(u""));
        r->Set(Manager(u"16.0"), u"Other.Addin", Sz(u""));
        r->Set(Options(u"16.0"), u"", Sz(u"default"));
        r->AddKey(kOffice + u"15.0\\Excel");
    }
    Put(registry, c.before);
    Put(expected, c.after);
    registry.notFound = c.notFound;
    const std::u16string key = UpperCase(kRoot + Options(u"16.0") + u"\\");
    if (*c.unreadable) registry.unreadable.insert(key + c.unreadable);
    for (const char16_t* name : {u"OPEN", u"OPEN1", u"OPEN2", u"OPEN3"}) {
        if (c.refuse) registry.refused.insert(key + name);
    }
    if (c.refuse) {
        registry.refused.insert(UpperCase(kRoot + Manager(u"16.0") + u"\\kzTEXTBRAID.TEXTBRAID"));
    }

    EXPECT_EQ(RunLine(registry, c.line), c.outcome);
    EXPECT_EQ(registry.Dump(), expected.Dump());
}

const ChainCase kChainCases[] = {
    {"another add-in at OPEN: appended as OPEN1", kAdd, u"OPEN=O", u"OPEN=O|OPEN1=E"},
    {"not found answered as the plain code 2: appended all the same", kAdd, u"OPEN=O",
     u"OPEN=O|OPEN1=E", Outcome::Completed, u"", false, 2},
    {"toggle, another add-in at OPEN: appended all the same", kToggle, u"OPEN=O",
     u"OPEN=O|OPEN1=E"},
    {"no OPEN at all: written as OPEN", kAdd, u"", u"OPEN=E"},
    {"case and a trailing blank differ: the same entry, kept", kAdd,
     u"OPEN=/a \"KZTEXTBRAID.textbraid\" ", u"OPEN=/a \"KZTEXTBRAID.textbraid\" "},
    {"toggle, case and outer blanks differ, last of the chain: deleted", kToggle,
     u"OPEN=  /a \"KZTEXTBRAID.textbraid\" ", u""},
    {"upper case of Latin-1 letters only: the division sign is not a letter", u"A\u00D7 EXCEL 0",
     u"OPEN=/A \"a\u00F7\"", u"OPEN=/A \"a\u00F7\"|OPEN1=/A \"A\u00D7\""},
    {"two blanks after /A: no match, a second entry appended", kAdd,
     u"OPEN=/A  \"kzTEXTBRAID.TEXTBRAID\"", u"OPEN=/A  \"kzTEXTBRAID.TEXTBRAID\"|OPEN1=E"},
    {"a trailing tab is not a blank: no match", kAdd, u"OPEN=/A \"kzTEXTBRAID.TEXTBRAID\"\t",
     u"OPEN=/A \"kzTEXTBRAID.TEXTBRAID\"\t|OPEN1=E"},
    {"toggle, gap at OPEN1: the entry at OPEN2 is not seen, OPEN1 written", kToggle,
     u"OPEN=O|OPEN2=E", u"OPEN=O|OPEN1=E|OPEN2=E"},
    {"toggle, entry at OPEN1 with OPEN2 after it: nothing deleted", kToggle,
     u"OPEN=O|OPEN1=E|OPEN2=O", u"OPEN=O|OPEN1=E|OPEN2=O"},
    {"toggle, entry last at OPEN2: only OPEN2 deleted", kToggle, u"OPEN=O|OPEN1=T|OPEN2=E",
     u"OPEN=O|OPEN1=T"},
    {"entry last, add only: nothing", kAdd, u"OPEN=E", u"OPEN=E"},
    {"toggle, listed twice: the first occurrence decides, nothing deleted", kToggle,
     u"OPEN=E|OPEN1=E", u"OPEN=E|OPEN1=E"},
    {"toggle, a number in the chain never matches and the scan goes past it", kToggle,
     u"OPEN=#7|OPEN1=E", u"OPEN=#7"},
    {"an empty text is a link of the chain", kAdd, u"OPEN=", u"OPEN=|OPEN1=E"},
    {"toggle, an array after the entry is only probed, never compared", kToggle,
     u"OPEN=E|OPEN1=[a]", u"OPEN=E|OPEN1=[a]"},
    {"an unreadable value is never written over, and the run says so", kAdd, u"OPEN=O|OPEN1=T",
     u"OPEN=O|OPEN1=T", Outcome::ValueUnreadable, u"OPEN1"},
    {"toggle, an unreadable next value keeps the entry, and the run says so", kToggle,
     u"OPEN=E|OPEN1=O", u"OPEN=E|OPEN1=O", Outcome::ValueUnreadable, u"OPEN1"},
    {"a refused write leaves the key as it was", kAdd, u"OPEN=O", u"OPEN=O", Outcome::Completed,
     u"", true},
    {"toggle, a refused delete leaves the key as it was", kToggle, u"OPEN=E", u"OPEN=E",
     Outcome::Completed, u"", true},
    {"uninstall, entry last: deleted, with the Add-in Manager value", kUninstall,
     u"OPEN=O|OPEN1= /a \"kztextbraid.TEXTBRAID\"|@", u"OPEN=O"},
    {"uninstall after Excel's untick: the Add-in Manager value goes, nothing is added", kUninstall,
     u"OPEN=O|@", u"OPEN=O"},
    {"uninstall with nothing to do: nothing added", kUninstall, u"", u""},
    {"uninstall, entry in the middle: left for the user", kUninstall, u"OPEN=E|OPEN1=O|@",
     u"OPEN=E|OPEN1=O", Outcome::StillListed},
    {"uninstall, a run of entries at the end: all deleted", kUninstall, u"OPEN=O|OPEN1=E|OPEN2=E",
     u"OPEN=O"},
    {"uninstall, listed in the middle and last: the last deleted, the other left", kUninstall,
     u"OPEN=E|OPEN1=#3|OPEN2=E", u"OPEN=E|OPEN1=#3", Outcome::StillListed},
    {"uninstall, an array is another add-in's value and the walk goes past it", kUninstall,
     u"OPEN=[/A \"kzTEXTBRAID.TEXTBRAID\"]|OPEN1=E", u"OPEN=[/A \"kzTEXTBRAID.TEXTBRAID\"]"},
    {"uninstall, entry after a gap: not listed, not looked at", kUninstall, u"OPEN=O|OPEN2=E",
     u"OPEN=O|OPEN2=E"},
    {"uninstall, an unreadable value after the entry: both reported", kUninstall, u"OPEN=E|OPEN1=O",
     u"OPEN=E|OPEN1=O", Outcome::UnreadableAndStillListed, u"OPEN1"},
    {"uninstall, an unreadable value before any entry", kUninstall, u"OPEN=O|OPEN1=E",
     u"OPEN=O|OPEN1=E", Outcome::ValueUnreadable, u"OPEN"},
    {"uninstall, refused deletes: left for the user", kUninstall, u"OPEN=E|@", u"OPEN=E|@",
     Outcome::StillListed, u"", true},
    {"uninstall, only the Add-in Manager delete refused", kUninstall, u"@", u"@",
     Outcome::StillListed, u"", true},
};

INSTANTIATE_TEST_SUITE_P(Installer, ChainTest, testing::ValuesIn(kChainCases));

// Whether a key without a default value counts as present is the shell's answer alone; the
// first and the last version are visited, and nothing is created where no Options key is.
TEST(InstallerVersions, EveryVersionWithAnOptionsKeyAndNoOther) {
    for (const KeyProbe probe : {KeyProbe::EmptyText, KeyProbe::Fails, KeyProbe::Nothing}) {
        FakeRegistry registry;
        FakeRegistry expected;
        for (FakeRegistry* r : {&registry, &expected}) {
            r->AddKey(Options(u"99.0"));
            r->AddKey(Options(u"10.0"));
            r->AddKey(kOffice + u"16.0\\Excel");
        }
        if (probe == KeyProbe::EmptyText) {
            expected.Set(Options(u"99.0"), u"OPEN", Sz(kEntry));
            expected.Set(Options(u"10.0"), u"OPEN", Sz(kEntry));
        }
        registry.keyProbe = probe;
        EXPECT_EQ(RunLine(registry, kAdd), Outcome::Completed);
        EXPECT_EQ(registry.Dump(), expected.Dump());
        EXPECT_EQ(RunLine(registry, kUninstall), Outcome::Completed);
        EXPECT_EQ(registry.Dump().find("OPEN"), std::string::npos);
    }
}

struct StopCase {
    const char* what;
    const char16_t* line;
    int failingCreation;  // -1: every creation; 0: none
    bool arrayAt16;       // 16.0's OPEN is a multi-string value
    Outcome outcome;
    std::vector<const char16_t*> listed;  // versions listing the add-in afterwards
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.what;
}

class ShellCreationTest : public testing::TestWithParam<StopCase> {};

// Excel 17.0, 16.0 and 15.0 have Options keys. Creations: 99.0..18.0 are 1..82; 17.0: step 83,
// read OPEN 84, write 85; 16.0: step 86, read 87, write 88; 15.0: step 89.
TEST_P(ShellCreationTest, OnlyTheStepsOwnShellStopsTheRun) {
    const StopCase& c = GetParam();
    FakeRegistry registry;
    FakeRegistry expected;
    for (FakeRegistry* r : {&registry, &expected}) {
        for (const char16_t* v : {u"17.0", u"16.0", u"15.0"})
            r->AddKey(Options(v));
        if (c.arrayAt16) r->Set(Options(u"16.0"), u"OPEN", MultiSz(kEntry));
    }
    for (const char16_t* v : c.listed)
        expected.Set(Options(v), u"OPEN", Sz(kEntry));
    registry.creationFails = [&c](int n) {
        return c.failingCreation < 0 || n == c.failingCreation;
    };
    int boxes = 0;

    EXPECT_EQ(RunLine(registry, c.line, &boxes), c.outcome);
    EXPECT_EQ(boxes, c.outcome == Outcome::WarningShown ? 1 : 0);
    EXPECT_EQ(registry.Dump(), expected.Dump());
}

const StopCase kStopCases[] = {
    {"none fails", kAdd, 0, false, Outcome::Completed, {u"17.0", u"16.0", u"15.0"}},
    {"no shell at all", kAdd, -1, false, Outcome::WarningShown, {}},
    {"no shell at all, uninstall", kUninstall, -1, false, Outcome::WarningShown, {}},
    {"16.0's step: 17.0 keeps its entry", kAdd, 86, false, Outcome::WarningShown, {u"17.0"}},
    {"16.0's read: nothing written where nothing could be read",
     kAdd,
     87,
     false,
     Outcome::ValueUnreadable,
     {u"17.0", u"15.0"}},
    {"16.0's write: skipped, the run goes on",
     kAdd,
     88,
     false,
     Outcome::Completed,
     {u"17.0", u"15.0"}},
    {"an array in 16.0's chain stops the run", kToggle, 0, true, Outcome::WarningShown, {u"17.0"}},
};

INSTANTIATE_TEST_SUITE_P(Installer, ShellCreationTest, testing::ValuesIn(kStopCases));

TEST(InstallerMain, AFailingBoxDoesNotEscape) {
    FakeRegistry registry;
    registry.creationFails = [](int) { return true; };
    EXPECT_EQ(kzMain::Main(u"a EXCEL 0", registry.Factory(),
                           [](const std::u16string&, const std::u16string&, std::uint32_t) {
                               throw std::runtime_error("no display");
                           }),
              Outcome::WarningShown);
}

// Only values whose name holds OPEN are deleted; without a type the shell picks one.
TEST(InstallerRoutines, DeleteOnlyOpenNamesAndWriteWithTheShellsType) {
    FakeRegistry registry;
    const std::u16string path = kRoot + Options(u"16.0") + u"\\";
    registry.Set(Options(u"16.0"), u"Other", Sz(kEntry));
    registry.Set(Options(u"16.0"), u"xOpEn9", Sz(kEntry));
    EXPECT_FALSE(kzInstall::DeleteOpenValue(path, u"Other", registry.Factory()));
    EXPECT_TRUE(kzInstall::DeleteOpenValue(path, u"xOpEn9", registry.Factory()));
    EXPECT_FALSE(kzInstall::DeleteOpenValue(path, u"OPEN5", registry.Factory()));
    kzInstall::WriteRegValue(path, u"N", RegValue::Number(5), u"", registry.Factory());
    kzInstall::WriteRegValue(path, u"S", RegValue::Number(5), u"REG_SZ", registry.Factory());
    FakeRegistry expected;
    expected.Set(Options(u"16.0"), u"Other", Sz(kEntry));
    expected.Set(Options(u"16.0"), u"N", Dword(5));
    expected.Set(Options(u"16.0"), u"S", Sz(u"5"));
    EXPECT_EQ(registry.Dump(), expected.Dump());
}

struct LineCase {
    const char16_t* line;
    Outcome outcome;
    const char16_t* app = nullptr;    // the application whose list changed, if any
    const char16_t* added = nullptr;  // the entry appended as OPEN1; none: OPEN was deleted
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << '"' << Narrow(c.line) << '"';
}

class CommandLineTest : public testing::TestWithParam<LineCase> {};

// Every application lists the add-in as its only entry, so a removal and an addition both show
// which routine ran and with what.
TEST_P(CommandLineTest, RunsTheRightRoutineOrNothing) {
    const LineCase& c = GetParam();
    FakeRegistry registry;
    FakeRegistry expected;
    for (const char16_t* app : {u"Excel", u"Word", u"Access", u"Outlook", u"PowerPoint"}) {
        registry.Set(Options(u"16.0", app), u"OPEN", Sz(kEntry));
        if (c.app && c.app == std::u16string(app) && !c.added) {
            expected.AddKey(Options(u"16.0", app));
        } else {
            expected.Set(Options(u"16.0", app), u"OPEN", Sz(kEntry));
        }
    }
    if (c.added) expected.Set(Options(u"16.0", c.app), u"OPEN1", Sz(c.added));
    int boxes = 0;

    EXPECT_EQ(RunLine(registry, c.line, &boxes), c.outcome);
    EXPECT_EQ(registry.Dump(), expected.Dump());
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(c.outcome != Outcome::Ignored || registry.creations == 0);
}

const LineCase kLineCases[] = {
    {kToggle, Outcome::Completed, u"Excel"},
    {u"New.Addin powerpoint 0", Outcome::Completed, u"PowerPoint", u"/A \"New.Addin\""},
    {u"New.Addin Word 1", Outcome::Completed, u"Word", u"/A \"New.Addin\""},
    {u"New.Addin aCCess 0", Outcome::Completed, u"Access", u"/A \"New.Addin\""},
    {u"kzTEXTBRAID.TEXTBRAID OUTLOOK 1", Outcome::Completed, u"Outlook"},
    {u"", Outcome::Ignored},
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
    {u"\tTabbed.Id EXCEL 0", Outcome::Completed, u"Excel", u"/A \"\tTabbed.Id\""},
    {u"\"Quoted.Id\" Excel 0", Outcome::Completed, u"Excel", u"/A \"\"Quoted.Id\"\""},
    {u"kzTEXTBRAID.TEXTBRAID EXCEL\t1", Outcome::Ignored},
    {u"/uninstall kzTEXTBRAID.TEXTBRAID word", Outcome::Completed, u"Word"},
    {u"  /UNINSTALL   kzTEXTBRAID.TEXTBRAID  PowerPoint ", Outcome::Completed, u"PowerPoint"},
    {u"/uninstall kzTEXTBRAID.TEXTBRAID VISIO", Outcome::Ignored},
    {u"/uninstall kzTEXTBRAID.TEXTBRAID", Outcome::Ignored},
    {u"/uninstall kzTEXTBRAID.TEXTBRAID EXCEL VISIO 0", Outcome::Ignored},
    {u"/uninstall Other\\kzTEXTBRAID.TEXTBRAID EXCEL", Outcome::Ignored},
    {u"/uninstall\tkzTEXTBRAID.TEXTBRAID EXCEL", Outcome::Ignored},
    // A line the three-part form accepts keeps its meaning.
    {u"/uninstall Word Excel", Outcome::Completed, u"Word", u"/A \"/uninstall\""},
};

INSTANTIATE_TEST_SUITE_P(Installer, CommandLineTest, testing::ValuesIn(kLineCases));

struct ArgumentCase {
    const char16_t* commandLine;
    const char16_t* arguments;
};

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
    {u"\"C:\\a b\\AddinSetup.exe\"   ", u""},
    {u"", u""},
};

INSTANTIATE_TEST_SUITE_P(Installer, ArgumentTextTest, testing::ValuesIn(kArgumentCases));

}  // namespace
