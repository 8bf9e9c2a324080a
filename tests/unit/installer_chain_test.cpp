// The OPEN chain of one version, and the walk over all versions, against the in-memory registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/kz_install.h"
#include "tests/unit/installer_fake_registry.h"

namespace {

using kzTest::Binary;
using kzTest::Dword;
using kzTest::FakeRegistry;
using kzTest::KeyProbe;
using kzTest::MultiSz;
using kzTest::Stored;
using kzTest::Sz;

const std::u16string kProgId = u"kzTEXTBRAID.TEXTBRAID";
const std::u16string kEntry = u"/A \"kzTEXTBRAID.TEXTBRAID\"";
const std::u16string kOther = u"/A \"Other.Addin\"";
const std::u16string kExcel16 = u"Software\\Microsoft\\Office\\16.0\\Excel\\Options";
const std::u16string kExcel16Path = u"HKEY_CURRENT_USER\\" + kExcel16 + u"\\";

struct Named {
    std::u16string name;
    Stored value;
};

struct ChainCase {
    const char* what;
    std::vector<Named> before;  // the values of Excel 16.0's Options key
    bool allowRemove;
    std::vector<Named> after;
    std::vector<std::u16string> unreadable = {};
    bool refuseWrites = false;
    bool refuseDeletes = false;
};

// Neighbours that must never change: another application of the same version, and a version
// whose application key exists without an Options key.
void AddNeighbours(FakeRegistry& registry) {
    registry.Set(u"Software\\Microsoft\\Office\\16.0\\Word\\Options", u"OPEN", Sz(kEntry));
    registry.Set(u"Software\\Microsoft\\Office\\16.0\\Excel\\Options", u"", Sz(u"ignored"));
    registry.AddKey(u"Software\\Microsoft\\Office\\15.0\\Excel");
}

void PrintTo(const ChainCase& c, std::ostream* os) {
    *os << c.what;
}

class ChainTest : public testing::TestWithParam<ChainCase> {};

TEST_P(ChainTest, LeavesExactlyTheExpectedRegistry) {
    const ChainCase& c = GetParam();
    FakeRegistry registry;
    FakeRegistry expected;
    for (FakeRegistry* r : {&registry, &expected})
        AddNeighbours(*r);
    for (const auto& v : c.before)
        registry.Set(kExcel16, v.name, v.value);
    for (const auto& v : c.after)
        expected.Set(kExcel16, v.name, v.value);
    for (const auto& name : c.unreadable)
        registry.unreadable.insert(kExcel16Path + name);
    if (c.refuseWrites || c.refuseDeletes) {
        for (const char16_t* name : {u"OPEN", u"OPEN1", u"OPEN2", u"OPEN3"}) {
            if (c.refuseWrites) registry.refusedWrites.insert(kExcel16Path + name);
            if (c.refuseDeletes) registry.refusedDeletes.insert(kExcel16Path + name);
        }
    }

    kzInstall::SetupExcel(kProgId, c.allowRemove, registry.Factory());

    EXPECT_EQ(registry.Dump(), expected.Dump());
    EXPECT_EQ(registry.liveShells, 0);
    EXPECT_LE(registry.mostLiveShells, 2);  // the step's own shell and one routine's
}

const ChainCase kChainCases[] = {
    {"another add-in at OPEN: appended as OPEN1",
     {{u"OPEN", Sz(kOther)}},
     false,
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(kEntry)}}},
    {"another add-in at OPEN, removal allowed: appended all the same",
     {{u"OPEN", Sz(kOther)}},
     true,
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(kEntry)}}},
    {"no OPEN at all: written as OPEN", {}, false, {{u"OPEN", Sz(kEntry)}}},
    {"not listed, removal allowed: written as OPEN", {}, true, {{u"OPEN", Sz(kEntry)}}},
    {"case and a trailing blank differ: the same entry, kept",
     {{u"OPEN", Sz(u"/a \"KZTEXTBRAID.textbraid\" ")}},
     false,
     {{u"OPEN", Sz(u"/a \"KZTEXTBRAID.textbraid\" ")}}},
    {"case and outer blanks differ, last of the chain: deleted",
     {{u"OPEN", Sz(u"  /a \"KZTEXTBRAID.textbraid\" ")}},
     true,
     {}},
    {"two blanks after /A: no match, a second entry appended",
     {{u"OPEN", Sz(u"/A  \"kzTEXTBRAID.TEXTBRAID\"")}},
     false,
     {{u"OPEN", Sz(u"/A  \"kzTEXTBRAID.TEXTBRAID\"")}, {u"OPEN1", Sz(kEntry)}}},
    {"a trailing tab is not a blank: no match",
     {{u"OPEN", Sz(kEntry + u"\t")}},
     false,
     {{u"OPEN", Sz(kEntry + u"\t")}, {u"OPEN1", Sz(kEntry)}}},
    {"gap at OPEN1: the entry at OPEN2 is not seen, OPEN1 written",
     {{u"OPEN", Sz(kOther)}, {u"OPEN2", Sz(kEntry)}},
     true,
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(kEntry)}, {u"OPEN2", Sz(kEntry)}}},
    {"entry at OPEN1 with OPEN2 after it: nothing deleted",
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(kEntry)}, {u"OPEN2", Sz(kOther)}},
     true,
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(kEntry)}, {u"OPEN2", Sz(kOther)}}},
    {"entry last at OPEN2: only OPEN2 deleted",
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(u"/A \"Third\"")}, {u"OPEN2", Sz(kEntry)}},
     true,
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(u"/A \"Third\"")}}},
    {"entry last, removal not allowed: nothing",
     {{u"OPEN", Sz(kEntry)}},
     false,
     {{u"OPEN", Sz(kEntry)}}},
    {"listed twice: the first occurrence decides, nothing deleted",
     {{u"OPEN", Sz(kEntry)}, {u"OPEN1", Sz(kEntry)}},
     true,
     {{u"OPEN", Sz(kEntry)}, {u"OPEN1", Sz(kEntry)}}},
    {"a number in the chain never matches and the scan goes past it",
     {{u"OPEN", Dword(7)}, {u"OPEN1", Sz(kEntry)}},
     true,
     {{u"OPEN", Dword(7)}}},
    {"a number as the whole chain: appended after it",
     {{u"OPEN", Dword(-1)}},
     false,
     {{u"OPEN", Dword(-1)}, {u"OPEN1", Sz(kEntry)}}},
    {"an empty text is a link of the chain",
     {{u"OPEN", Sz(u"")}},
     false,
     {{u"OPEN", Sz(u"")}, {u"OPEN1", Sz(kEntry)}}},
    {"an array after the entry is only probed, never compared",
     {{u"OPEN", Sz(kEntry)}, {u"OPEN1", MultiSz({u"a"})}},
     true,
     {{u"OPEN", Sz(kEntry)}, {u"OPEN1", MultiSz({u"a"})}}},
    {"an unreadable value ends the chain but is never written over",
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(u"/A \"Third\"")}},
     false,
     {{u"OPEN", Sz(kOther)}, {u"OPEN1", Sz(u"/A \"Third\"")}},
     {u"OPEN1"}},
    {"an unreadable next value keeps the entry: deleting it would leave a gap",
     {{u"OPEN", Sz(kEntry)}, {u"OPEN1", Sz(kOther)}},
     true,
     {{u"OPEN", Sz(kEntry)}, {u"OPEN1", Sz(kOther)}},
     {u"OPEN1"}},
    {"a refused write leaves the key as it was",
     {{u"OPEN", Sz(kOther)}},
     false,
     {{u"OPEN", Sz(kOther)}},
     {},
     true},
    {"a refused delete leaves the key as it was",
     {{u"OPEN", Sz(kEntry)}},
     true,
     {{u"OPEN", Sz(kEntry)}},
     {},
     false,
     true},
};

INSTANTIATE_TEST_SUITE_P(Installer, ChainTest, testing::ValuesIn(kChainCases));

struct ProbeCase {
    const char* what;
    KeyProbe probe;
    bool written;
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
    *os << c.what;
}

class KeyProbeTest : public testing::TestWithParam<ProbeCase> {};

// Whether a key without a default value counts as present is the shell's answer alone.
TEST_P(KeyProbeTest, KeyWithoutDefaultValueFollowsTheShellsAnswer) {
    FakeRegistry registry;
    registry.AddKey(kExcel16);
    registry.keyProbe = GetParam().probe;
    kzInstall::SetupExcel(kProgId, false, registry.Factory());
    EXPECT_EQ(registry.Dump().find("OPEN") != std::string::npos, GetParam().written);
}

const ProbeCase kProbeCases[] = {
    {"empty text: present", KeyProbe::EmptyText, true},
    {"failure: absent", KeyProbe::Fails, false},
    {"nothing: absent", KeyProbe::Nothing, false},
};

INSTANTIATE_TEST_SUITE_P(Installer, KeyProbeTest, testing::ValuesIn(kProbeCases));

TEST(InstallerVersions, AbsentOptionsKeysCostOneProbeEachAndCreateNothing) {
    FakeRegistry registry;
    registry.AddKey(u"Software\\Microsoft\\Office\\16.0\\Excel");
    const std::string before = registry.Dump();

    kzInstall::SetupExcel(kProgId, true, registry.Factory());

    EXPECT_EQ(registry.Dump(), before);
    std::vector<std::string> probes;
    for (int n = 99; n >= 10; --n) {
        probes.push_back("read HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\" +
                         std::to_string(n) + ".0\\Excel\\Options\\");
    }
    EXPECT_EQ(registry.log, probes);
    EXPECT_EQ(registry.creations, 90);
}

TEST(InstallerVersions, EveryPresentVersionIsHandledNewestFirst) {
    FakeRegistry registry;
    registry.AddKey(u"Software\\Microsoft\\Office\\15.0\\PowerPoint\\Options");
    registry.Set(u"Software\\Microsoft\\Office\\16.0\\PowerPoint\\Options", u"OPEN", Sz(kOther));
    registry.AddKey(u"Software\\Microsoft\\Office\\16.0\\Excel\\Options");

    kzInstall::SetupPowerPoint(kProgId, false, registry.Factory());

    std::vector<std::string> writes;
    for (const auto& line : registry.log) {
        if (line.starts_with("write ")) writes.push_back(line);
    }
    EXPECT_EQ(writes, (std::vector<std::string>{
                          "write HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\16.0\\PowerPoint\\"
                          "Options\\OPEN1",
                          "write HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\15.0\\PowerPoint\\"
                          "Options\\OPEN",
                      }));
}

struct FailureCase {
    const char* what;
    Stored blocking;  // OPEN of 16.0, after 17.0 was handled
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.what;
}

class ChainFailureTest : public testing::TestWithParam<FailureCase> {};

// A chain value without a text form stops the run; the version handled before keeps its entry.
TEST_P(ChainFailureTest, ArrayValuePassesUpAndKeepsEarlierWork) {
    FakeRegistry registry;
    registry.AddKey(u"Software\\Microsoft\\Office\\17.0\\Word\\Options");
    registry.Set(u"Software\\Microsoft\\Office\\16.0\\Word\\Options", u"OPEN", GetParam().blocking);
    registry.AddKey(u"Software\\Microsoft\\Office\\15.0\\Word\\Options");
    FakeRegistry expected;
    expected.Set(u"Software\\Microsoft\\Office\\17.0\\Word\\Options", u"OPEN", Sz(kEntry));
    expected.Set(u"Software\\Microsoft\\Office\\16.0\\Word\\Options", u"OPEN", GetParam().blocking);
    expected.AddKey(u"Software\\Microsoft\\Office\\15.0\\Word\\Options");

    EXPECT_THROW(kzInstall::SetupWord(kProgId, false, registry.Factory()), kzInstall::TypeMismatch);
    EXPECT_EQ(registry.Dump(), expected.Dump());
    EXPECT_EQ(registry.liveShells, 0);
}

const FailureCase kFailureCases[] = {
    {"multi-string", MultiSz({u"/A \"kzTEXTBRAID.TEXTBRAID\""})},
    {"binary", Binary({1, 2})},
};

INSTANTIATE_TEST_SUITE_P(Installer, ChainFailureTest, testing::ValuesIn(kFailureCases));

struct CreationCase {
    const char* what;
    int failingCreation;  // with keys 16.0 (empty chain) and 15.0: see the numbering below
    bool throws;
    std::vector<const char16_t*> written;  // versions whose OPEN holds the entry afterwards
};

void PrintTo(const CreationCase& c, std::ostream* os) {
    *os << c.what;
}

class ShellCreationTest : public testing::TestWithParam<CreationCase> {};

// Creations: 99.0..17.0 one each (1..83); 16.0: step 84, read OPEN 85, write 86; 15.0: step 87,
// read 88, write 89; 14.0..10.0: 90..94.
TEST_P(ShellCreationTest, OnlyTheStepsOwnShellIsFatal) {
    const CreationCase& c = GetParam();
    FakeRegistry registry;
    registry.AddKey(u"Software\\Microsoft\\Office\\16.0\\Access\\Options");
    registry.AddKey(u"Software\\Microsoft\\Office\\15.0\\Access\\Options");
    registry.creationFails = [&c](int n) { return n == c.failingCreation; };
    FakeRegistry expected;
    expected.AddKey(u"Software\\Microsoft\\Office\\16.0\\Access\\Options");
    expected.AddKey(u"Software\\Microsoft\\Office\\15.0\\Access\\Options");
    for (const char16_t* version : c.written) {
        expected.Set(
            u"Software\\Microsoft\\Office\\" + std::u16string(version) + u"\\Access\\Options",
            u"OPEN", Sz(kEntry));
    }

    if (c.throws) {
        EXPECT_THROW(kzInstall::SetupAccess(kProgId, false, registry.Factory()),
                     kzInstall::ShellFailure);
    } else {
        kzInstall::SetupAccess(kProgId, false, registry.Factory());
    }
    EXPECT_EQ(registry.Dump(), expected.Dump());
}

const CreationCase kCreationCases[] = {
    {"none fails", 0, false, {u"16.0", u"15.0"}},
    {"an absent version's step: nothing done", 1, true, {}},
    {"15.0's step: 16.0 keeps its entry", 87, true, {u"16.0"}},
    {"a read's shell: nothing is written where nothing could be read", 85, false, {u"15.0"}},
    {"a write's shell: that write is skipped, the run goes on", 86, false, {u"15.0"}},
};

INSTANTIATE_TEST_SUITE_P(Installer, ShellCreationTest, testing::ValuesIn(kCreationCases));

TEST(InstallerRoutines, DeleteOpenValueTouchesOnlyNamesContainingOpen) {
    FakeRegistry registry;
    registry.Set(kExcel16, u"Other", Sz(kEntry));
    registry.Set(kExcel16, u"xOpEn9", Sz(kEntry));
    kzInstall::DeleteOpenValue(kExcel16Path, u"Other", registry.Factory());
    kzInstall::DeleteOpenValue(kExcel16Path, u"xOpEn9", registry.Factory());
    kzInstall::DeleteOpenValue(kExcel16Path, u"OPEN5", registry.Factory());  // absent: ignored
    FakeRegistry expected;
    expected.Set(kExcel16, u"Other", Sz(kEntry));
    EXPECT_EQ(registry.Dump(), expected.Dump());
}

TEST(InstallerRoutines, WriteRegValueWithoutTypeLeavesTheChoiceToTheShell) {
    FakeRegistry registry;
    registry.AddKey(kExcel16);
    kzInstall::WriteRegValue(kExcel16Path, u"N", kzInstall::RegValue::Number(5), u"",
                             registry.Factory());
    kzInstall::WriteRegValue(kExcel16Path, u"S", kzInstall::RegValue::Number(5), u"REG_SZ",
                             registry.Factory());
    FakeRegistry expected;
    expected.Set(kExcel16, u"N", Dword(5));
    expected.Set(kExcel16, u"S", Sz(u"5"));
    EXPECT_EQ(registry.Dump(), expected.Dump());
}

}  // namespace
