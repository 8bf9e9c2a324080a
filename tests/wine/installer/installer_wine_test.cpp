// AddinSetup.exe as a whole under Wine: the real program, the real registry and a real COM shell
// object, either the stand-in over the registry or Wine's own "WScript.Shell". Every run goes
// through a CBT hook planted in the program's main thread, which records and closes any box it
// shows, so a run that shows no box is checked as much as one that does.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr DWORD kNoBoxExit = 0;
constexpr DWORD kWarningExit = 1;
constexpr DWORD kIgnoredExit = 2;

const std::wstring kEntry = L"/A \"kzTEXTBRAID.TEXTBRAID\"";
const std::wstring kOther = L"/A \"Other.Addin\"";
const std::wstring kOffice = L"Software\\Microsoft\\Office\\";
const std::wstring kControlKey = L"Software\\TextBraidTests\\ShellStandIn";

// CTest hands over the build's paths as Unix paths; Wine sees the Unix root as drive Z:.
std::wstring BuildPath(const wchar_t* variable) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(variable, buffer, 1024);
    std::wstring path = n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string Narrow(const std::wstring& text) {
    std::string result;
    for (wchar_t c : text) {
        if (c == L'\r') {
            result += "\\r";
        } else if (c == L'\n') {
            result += "\\n";
        } else {
            result += c < 0x80 ? static_cast<char>(c) : '?';
        }
    }
    return result;
}

// --- the registry, through the registry API -----------------------------------------------------

void SetValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data,
              DWORD size) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr),
              ERROR_SUCCESS);
    if (type != REG_NONE) {
        EXPECT_EQ(RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    RegCloseKey(h);
}

void AddKey(const std::wstring& key) {
    SetValue(key, nullptr, REG_NONE, nullptr, 0);
}

void SetSz(const std::wstring& key, const wchar_t* name, const std::wstring& text) {
    SetValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

void SetDword(const std::wstring& key, const wchar_t* name, DWORD number) {
    SetValue(key, name, REG_DWORD, &number, sizeof number);
}

void SetMultiSz(const std::wstring& key, const wchar_t* name, const std::wstring& first) {
    const std::wstring data = first + L'\0' + L'\0';
    SetValue(key, name, REG_MULTI_SZ, data.c_str(), static_cast<DWORD>(data.size() * 2));
}

std::wstring Options(const wchar_t* version, const wchar_t* app) {
    return kOffice + version + L"\\" + app + L"\\Options";
}

// Every key and value below the versioned Office keys, one sorted line each.
void DumpKey(HKEY parent, const std::wstring& path, std::vector<std::string>& lines) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return;
    lines.push_back(Narrow(path.substr(kOffice.size())));
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        DWORD type = 0;
        BYTE data[2048];
        DWORD size = sizeof data;
        if (RegEnumValueW(h, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            break;
        }
        std::string line = Narrow(path.substr(kOffice.size())) + " | " +
                           (nameLength ? Narrow(name) : std::string("(default)")) + " | ";
        if (type == REG_SZ) {
            line += "REG_SZ | " + Narrow(reinterpret_cast<const wchar_t*>(data));
        } else if (type == REG_DWORD) {
            DWORD number = 0;
            memcpy(&number, data, sizeof number);
            line += "REG_DWORD | " + std::to_string(number);
        } else {
            line += "type " + std::to_string(type) + " | " + std::to_string(size) + " bytes";
        }
        lines.push_back(line);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(h, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        DumpKey(parent, path + L"\\" + name, lines);
    }
    RegCloseKey(h);
}

std::vector<std::string> DumpOffice() {
    std::vector<std::string> lines;
    for (int n = 99; n >= 10; --n)
        DumpKey(HKEY_CURRENT_USER, kOffice + std::to_wstring(n) + L".0", lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

void ClearOffice() {
    for (int n = 99; n >= 10; --n) {
        RegDeleteTreeW(HKEY_CURRENT_USER, (kOffice + std::to_wstring(n) + L".0").c_str());
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kControlKey.c_str());
}

// --- COM registration of the shell component
// ------------------------------------------------------

HRESULT CallExport(const std::wstring& dll, const char* name) {
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    using Export = HRESULT(STDAPICALLTYPE*)();
    const auto function =
        reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    const HRESULT hr = function ? function() : E_NOINTERFACE;
    FreeLibrary(module);
    return hr;
}

void UseStandInShell() {
    ASSERT_EQ(CallExport(BuildPath(L"TB_STANDIN_SHELL"), "DllRegisterServer"), S_OK);
}

// Unregistering the stand-in registers Wine's own component again.
void UseWinesShell() {
    CallExport(BuildPath(L"TB_STANDIN_SHELL"), "DllUnregisterServer");
    ASSERT_EQ(CallExport(L"wshom.ocx", "DllRegisterServer"), S_OK);
}

// --- running the program ----------------------------------------------------------------------

struct BoxRecord {
    std::wstring title;
    std::wstring text;
    std::wstring icon;
    std::wstring buttons;
};

struct RunResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<BoxRecord> boxes;
};

std::vector<BoxRecord> ReadCaptures(const std::wstring& path) {
    std::vector<BoxRecord> boxes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return boxes;
    std::wstring content(GetFileSize(file, nullptr) / 2, L'\0');
    DWORD read = 0;
    ReadFile(file, content.data(), static_cast<DWORD>(content.size() * 2), &read, nullptr);
    CloseHandle(file);
    std::size_t start = 0;
    for (std::size_t end; (end = content.find(L'\x1E', start)) != std::wstring::npos;
         start = end + 1) {
        std::vector<std::wstring> fields;
        std::size_t from = start;
        for (std::size_t to; (to = content.find(L'\x1F', from)) < end; from = to + 1) {
            fields.push_back(content.substr(from, to - from));
        }
        fields.push_back(content.substr(from, end - from));
        fields.resize(4);
        boxes.push_back({fields[0], fields[1], fields[2], fields[3]});
    }
    return boxes;
}

// Starts AddinSetup.exe suspended, plants the box-capturing hook on its main thread, lets it run.
RunResult RunAddinSetup(const std::wstring& arguments, const std::wstring& screenshot = {}) {
    RunResult run;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring capture = std::wstring(folder) + L"addinsetup-boxes.bin";
    DeleteFileW(capture.c_str());
    SetEnvironmentVariableW(L"TB_BOX_CAPTURE", capture.c_str());
    SetEnvironmentVariableW(L"TB_BOX_SCREENSHOT",
                            screenshot.empty() ? nullptr : screenshot.c_str());

    HMODULE hookDll = LoadLibraryW(BuildPath(L"TB_BOX_HOOK").c_str());
    EXPECT_NE(hookDll, nullptr);
    if (!hookDll) return run;
    const auto hook = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(hookDll, "CaptureBoxHook")));

    std::wstring commandLine = L"\"" + BuildPath(L"TB_ADDINSETUP") + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &process);
    EXPECT_TRUE(started) << GetLastError();
    if (started) {
        HHOOK hooked = SetWindowsHookExW(WH_CBT, hook, hookDll, process.dwThreadId);
        EXPECT_NE(hooked, nullptr) << GetLastError();
        ResumeThread(process.hThread);
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "AddinSetup.exe did not end; a box was left open?";
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 5000);
        }
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        if (hooked) UnhookWindowsHookEx(hooked);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    FreeLibrary(hookDll);
    run.boxes = ReadCaptures(capture);
    return run;
}

const std::wstring kWarningText =
    std::wstring(L"To be able to fully use this product: \r\n") +
    L" After this install, open Excel, then go to the Add-Ins list. \r\n" +
    L"  - If \"Tallyspan.Spanwise\" is in the list, select it.\r\n" +
    L"  - If not in the list, click \"Automation\", find and select \"Tallyspan.Spanwise\".";

void ExpectOneWarningBox(const RunResult& run) {
    EXPECT_EQ(run.exitCode, kWarningExit);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(Narrow(run.boxes[0].title), "SPANWISE Formula");
    EXPECT_EQ(Narrow(run.boxes[0].text), Narrow(kWarningText));
    EXPECT_EQ(Narrow(run.boxes[0].icon), "exclamation");
    EXPECT_EQ(Narrow(run.boxes[0].buttons), "1:OK;");  // IDOK, alone
}

// --- through the stand-in shell over the real registry -------------------------------------------

class InstallerStandIn : public testing::Test {
  protected:
    static void SetUpTestSuite() { UseStandInShell(); }
    static void TearDownTestSuite() { UseWinesShell(); }
    void SetUp() override { ClearOffice(); }
    void TearDown() override { ClearOffice(); }
};

TEST_F(InstallerStandIn, ListsTheAddinInEveryVersionWhoseOptionsKeyExists) {
    AddKey(Options(L"16.0", L"Excel"));  // no default value of its own
    SetSz(Options(L"15.0", L"Excel"), L"OPEN", kOther);
    SetDword(Options(L"15.0", L"Excel"), L"Other", 7);
    SetSz(Options(L"15.0", L"Excel"), nullptr, L"kept");
    AddKey(kOffice + L"14.0\\Excel");  // no Options key
    SetSz(Options(L"12.0", L"Excel"), L"OPEN", L"/a \"KZTEXTBRAID.textbraid\" ");
    SetSz(Options(L"16.0", L"Word"), L"OPEN", kOther);
    std::vector<std::string> expected = DumpOffice();
    expected.push_back("16.0\\Excel\\Options | OPEN | REG_SZ | " + Narrow(kEntry));
    expected.push_back("15.0\\Excel\\Options | OPEN1 | REG_SZ | " + Narrow(kEntry));
    std::sort(expected.begin(), expected.end());

    const RunResult run = RunAddinSetup(L"kzTEXTBRAID.TEXTBRAID EXCEL 0");

    EXPECT_EQ(run.exitCode, kNoBoxExit);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(DumpOffice(), expected);
}

TEST_F(InstallerStandIn, RemovesTheEntryOnlyWhereItIsTheLastOfTheChain) {
    SetSz(Options(L"16.0", L"Excel"), L"OPEN", kOther);
    SetSz(Options(L"16.0", L"Excel"), L"OPEN1", kEntry);
    SetSz(Options(L"15.0", L"Excel"), L"OPEN", kEntry);
    SetSz(Options(L"15.0", L"Excel"), L"OPEN1", kOther);
    AddKey(Options(L"14.0", L"Excel"));
    std::vector<std::string> expected = DumpOffice();
    expected.erase(std::find(expected.begin(), expected.end(),
                             "16.0\\Excel\\Options | OPEN1 | REG_SZ | " + Narrow(kEntry)));
    expected.push_back("14.0\\Excel\\Options | OPEN | REG_SZ | " + Narrow(kEntry));
    std::sort(expected.begin(), expected.end());

    const RunResult run = RunAddinSetup(L"kzTEXTBRAID.TEXTBRAID excel 1");

    EXPECT_EQ(run.exitCode, kNoBoxExit);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(DumpOffice(), expected);
}

struct LineCase {
    const wchar_t* arguments;
    DWORD exitCode;
    bool listed;
};

class InstallerCommandLine : public InstallerStandIn,
                             public testing::WithParamInterface<LineCase> {};

// The argument text as the real process receives it: blanks around and between the tokens.
TEST_P(InstallerCommandLine, ReadsTheArgumentTextOfTheProcess) {
    AddKey(Options(L"16.0", L"PowerPoint"));
    const RunResult run = RunAddinSetup(GetParam().arguments);
    EXPECT_EQ(run.exitCode, GetParam().exitCode);
    EXPECT_TRUE(run.boxes.empty());
    const std::vector<std::string> dump = DumpOffice();
    const bool listed =
        std::find(dump.begin(), dump.end(),
                  "16.0\\PowerPoint\\Options | OPEN | REG_SZ | " + Narrow(kEntry)) != dump.end();
    EXPECT_EQ(listed, GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, InstallerCommandLine,
    testing::Values(LineCase{L"kzTEXTBRAID.TEXTBRAID PowerPoint 0", 0, true},
                    LineCase{L"   kzTEXTBRAID.TEXTBRAID  POWERPOINT 1   ", 0, true},
                    LineCase{L"kzTEXTBRAID.TEXTBRAID POWERPOINT  1", 2, false},
                    LineCase{L"POWERPOINT 0", 2, false}, LineCase{L"", 2, false},
                    LineCase{L"kzTEXTBRAID.TEXTBRAID VISIO 0", 2, false}));

TEST_F(InstallerStandIn, AFailedShellCreationStopsTheRunAndKeepsEarlierVersions) {
    AddKey(Options(L"17.0", L"Excel"));
    AddKey(Options(L"16.0", L"Excel"));
    AddKey(Options(L"15.0", L"Excel"));
    // Creations: 99.0..18.0 are 1..82; 17.0: step 83, read 84, write 85; 16.0's step is 86.
    SetDword(kControlKey, L"FailCreationAt", 86);
    std::vector<std::string> expected = DumpOffice();
    expected.push_back("17.0\\Excel\\Options | OPEN | REG_SZ | " + Narrow(kEntry));
    std::sort(expected.begin(), expected.end());

    const RunResult run = RunAddinSetup(L"kzTEXTBRAID.TEXTBRAID EXCEL 0");

    ExpectOneWarningBox(run);
    EXPECT_EQ(DumpOffice(), expected);
}

TEST_F(InstallerStandIn, AMultiStringValueInTheChainStopsTheRun) {
    AddKey(Options(L"17.0", L"Word"));
    SetMultiSz(Options(L"16.0", L"Word"), L"OPEN", kEntry);
    AddKey(Options(L"15.0", L"Word"));
    std::vector<std::string> expected = DumpOffice();
    expected.push_back("17.0\\Word\\Options | OPEN | REG_SZ | " + Narrow(kEntry));
    std::sort(expected.begin(), expected.end());

    const RunResult run = RunAddinSetup(L"kzTEXTBRAID.TEXTBRAID WORD 1");

    ExpectOneWarningBox(run);
    EXPECT_EQ(DumpOffice(), expected);
}

// --- the warning box when there is no shell at all
// ------------------------------------------------

class InstallerWarningBox : public testing::Test {
  protected:
    void SetUp() override { ClearOffice(); }
    void TearDown() override {
        UseWinesShell();
        ClearOffice();
    }
};

TEST_F(InstallerWarningBox, ShowsTheWarningWhenWScriptShellIsNotRegistered) {
    AddKey(Options(L"16.0", L"Excel"));
    ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, L"WScript.Shell"), ERROR_SUCCESS);
    const std::vector<std::string> before = DumpOffice();

    const RunResult run =
        RunAddinSetup(L"kzTEXTBRAID.TEXTBRAID EXCEL 0", BuildPath(L"TB_BOX_PICTURE"));

    ExpectOneWarningBox(run);
    EXPECT_EQ(DumpOffice(), before);
}

// --- Wine's own WScript.Shell: what it does with the same program
// ---------------------------------

class InstallerWinesShell : public testing::Test {
  protected:
    void SetUp() override {
        UseWinesShell();
        ClearOffice();
    }
    void TearDown() override { ClearOffice(); }
};

TEST_F(InstallerWinesShell, SeesOnlyKeysWithADefaultValueAndCannotDelete) {
    AddKey(Options(L"16.0", L"Excel"));               // no default value
    SetSz(Options(L"15.0", L"Excel"), nullptr, L"");  // an empty default value
    SetSz(Options(L"14.0", L"Excel"), nullptr, L"");
    SetSz(Options(L"14.0", L"Excel"), L"OPEN", kOther);
    SetSz(Options(L"14.0", L"Excel"), L"OPEN1", kEntry);  // last of its chain
    std::vector<std::string> expected = DumpOffice();
    // Reading a key without a default value fails in Wine, so 16.0 counts as absent; 15.0 is
    // seen. RegDelete is not implemented: the removal at 14.0 fails quietly and the run goes on.
    expected.push_back("15.0\\Excel\\Options | OPEN | REG_SZ | " + Narrow(kEntry));
    std::sort(expected.begin(), expected.end());

    const RunResult run = RunAddinSetup(L"kzTEXTBRAID.TEXTBRAID EXCEL 1");

    EXPECT_EQ(run.exitCode, kNoBoxExit);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(DumpOffice(), expected);
}

}  // namespace
