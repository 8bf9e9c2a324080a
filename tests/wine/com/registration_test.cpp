// Self-registration through regsvr32, machine-wide and for the current user only: what the
// registry holds afterwards, idempotence, that unregistering keeps what another bitness still uses
// and that the last unregistration restores the registry exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <vector>

#include "server/com/textbraid_h.h"
#include "tests/wine/com/support.h"

namespace tb::wine {
namespace {

using Tree = std::map<std::wstring, std::wstring>;

// Upper-cased without a leading \\?\, as the file system compares paths.
std::wstring normalise(std::wstring path) {
    if (path.starts_with(L"\\\\?\\")) path.erase(0, 4);
    std::transform(path.begin(), path.end(), path.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return path;
}

std::wstring guid_text(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// Every key below key (itself included) with its values as "name=type:bytes" lines.
void walk(HKEY key, const std::wstring& path, Tree& out) {
    std::wstring& values = out[path];
    wchar_t name[16384];
    BYTE data[16384];
    DWORD name_size = 16384, type = 0, size = sizeof data;
    for (DWORD i = 0;
         RegEnumValueW(key, i, name, &name_size, nullptr, &type, data, &size) == ERROR_SUCCESS;
         ++i, name_size = 16384, size = sizeof data) {
        values += std::wstring(name) + L"=" + std::to_wstring(type) + L":";
        for (DWORD b = 0; b < size; ++b)
            values += std::to_wstring(data[b]) + L",";
        values += L"\n";
    }
    name_size = 256;
    for (DWORD i = 0; RegEnumKeyExW(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) ==
                      ERROR_SUCCESS;
         ++i, name_size = 256) {
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        walk(child, path + L"\\" + name, out);
        RegCloseKey(child);
    }
}

// The machine's and the user's classes. (Wine's HKEY_CLASSES_ROOT is the machine's classes
// only; it does not merge the user's as Windows does.)
Tree classes_tree() {
    Tree out;
    for (auto [root, prefix] :
         {std::pair{HKEY_LOCAL_MACHINE, L""}, {HKEY_CURRENT_USER, L"HKCU\\"}}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, L"Software\\Classes", 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        walk(key, prefix + std::wstring(L"Software\\Classes"), out);
        RegCloseKey(key);
    }
    return out;
}

// Runs regsvr32 on the DLL and answers its exit code (-1: it did not start).
int regsvr32(const wchar_t* options) {
    std::wstring line = L"regsvr32.exe " + std::wstring(options) + L" \"" + dll_path() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD code = static_cast<DWORD>(-1);
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return static_cast<int>(code);
}

// Machine-wide (DllRegisterServer) and for the current user only (DllInstall "user").
struct Mode {
    HKEY hive;
    const wchar_t* add;
    const wchar_t* remove;
};
class Registration : public testing::TestWithParam<Mode> {};
INSTANTIATE_TEST_SUITE_P(Modes, Registration,
                         testing::Values(Mode{HKEY_LOCAL_MACHINE, L"/s", L"/u /s"},
                                         Mode{HKEY_CURRENT_USER, L"/s /n /i:user",
                                              L"/u /s /n /i:user"}));

TEST_P(Registration, RegistersEverythingAndUnregistersExactlyThat) {
    const Mode& mode = GetParam();
    // A string value below the classes of the hive registered to, or <absent>.
    auto read = [&](const std::wstring& path, const wchar_t* name = nullptr) {
        wchar_t buffer[2048];
        DWORD size = sizeof buffer;
        return RegGetValueW(mode.hive, (L"Software\\Classes\\" + path).c_str(), name, RRF_RT_REG_SZ,
                            nullptr, buffer, &size) == ERROR_SUCCESS
                   ? std::wstring(buffer)
                   : L"<absent>";
    };
    // An interface key that Office's add-in library owns must survive both directions.
    const std::wstring office_key = L"Interface\\{B65AD801-ABAF-11D0-BB8B-00A0C90F2744}";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, office_key.c_str(), nullptr, REG_SZ,
                              L"_IDTExtensibility2", 38),
              ERROR_SUCCESS);

    const Tree before = classes_tree();
    ASSERT_EQ(regsvr32(mode.add), 0);
    const Tree once = classes_tree();
    ASSERT_EQ(regsvr32(mode.add), 0);
    EXPECT_TRUE(once == classes_tree()) << "registering twice differs from registering once";

    const std::wstring libid = guid_text(LIBID_kzTEXTBRAID), dll = normalise(dll_path());
    const std::wstring platform = sizeof(void*) == 8 ? L"win64" : L"win32";
    struct Row {
        std::wstring path;
        const wchar_t* name;
        std::wstring expected;
    };
    std::vector<Row> rows = {
        {L"TypeLib\\" + libid + L"\\1.0\\0\\" + platform, nullptr, dll},
        {L"TypeLib\\" + libid + L"\\1.0", nullptr, L"Concatenates Excel Cell Range Values"}};
    std::vector<std::wstring> ours = {L"TypeLib\\" + libid};
    for (auto [clsid, progid, iid, interface_name, programmable] :
         {std::tuple{&CLSID_ConnectExcel, L"kzTEXTBRAID.ConnectExcel", &IID__ConnectExcel,
                     L"_ConnectExcel", false},
          {&CLSID_TEXTBRAID, L"kzTEXTBRAID.TEXTBRAID", &IID__TEXTBRAID, L"_TEXTBRAID", true},
          {&CLSID_CExcelEvents, L"kzTEXTBRAID.CExcelEvents", &IID__CExcelEvents, L"_CExcelEvents",
           false}}) {
        const std::wstring key = L"CLSID\\" + guid_text(*clsid);
        const std::wstring iface = L"Interface\\" + guid_text(*iid);
        rows.insert(rows.end(), {{key + L"\\InprocServer32", nullptr, dll},
                                 {key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
                                 {key + L"\\ProgID", nullptr, progid},
                                 {key + L"\\TypeLib", nullptr, libid},
                                 {std::wstring(progid) + L"\\CLSID", nullptr, guid_text(*clsid)},
                                 {iface, nullptr, interface_name},
                                 {iface + L"\\ProxyStubClsid32", nullptr,
                                  L"{00020424-0000-0000-C000-000000000046}"},
                                 {iface + L"\\TypeLib", nullptr, libid},
                                 {iface + L"\\TypeLib", L"Version", L"1.0"}});
        HKEY flag = nullptr;
        EXPECT_EQ(
            RegOpenKeyExW(mode.hive, (L"Software\\Classes\\" + key + L"\\Programmable").c_str(), 0,
                          KEY_READ, &flag) == ERROR_SUCCESS,
            programmable)
            << progid;
        RegCloseKey(flag);
        ours.insert(ours.end(), {key, progid, iface});
    }
    for (const Row& row : rows) {
        const std::wstring got = read(row.path, row.name);
        EXPECT_TRUE((row.expected == dll ? normalise(got) : got) == row.expected)
            << row.path << " holds " << got;
    }

    // Everything added lies under the keys of this server. A shared key shows in both registry
    // views; a per-user registration may have had to create the classes root and its containers.
    for (const auto& [path, values] : once) {
        auto it = before.find(path);
        if (it != before.end() && it->second == values) continue;
        const std::wstring changed = normalise(path);
        const std::wstring rest = changed.substr(changed.find(L"SOFTWARE\\CLASSES") + 16);
        bool under_ours =
            rest.empty() || rest == L"\\CLSID" || rest == L"\\INTERFACE" || rest == L"\\TYPELIB";
        for (const auto& prefix : ours)
            under_ours = under_ours || rest.find(normalise(L"\\" + prefix)) != std::wstring::npos;
        EXPECT_TRUE(under_ours) << "unexpected change: " << path;
        EXPECT_TRUE(mode.hive == HKEY_LOCAL_MACHINE || path.starts_with(L"HKCU\\"))
            << "outside the user's classes: " << path;
    }

    // With the other bitness registered beside this one (its platform key of the type library),
    // unregistering keeps what both use; the last one to go takes that too.
    const std::wstring other =
        L"TypeLib\\" + libid + L"\\1.0\\0\\" + (platform == L"win64" ? L"win32" : L"win64");
    ASSERT_EQ(RegSetKeyValueW(mode.hive, (L"Software\\Classes\\" + other).c_str(), nullptr, REG_SZ,
                              L"C:\\other.dll", 28),
              ERROR_SUCCESS);
    ASSERT_EQ(regsvr32(mode.remove), 0);
    for (const auto& [path, kept] : {std::pair{other, true},
                                     {L"TypeLib\\" + libid + L"\\1.0\\FLAGS", true},
                                     {std::wstring(L"kzTEXTBRAID.CExcelEvents\\CLSID"), true},
                                     {rows[0].path, false},
                                     {L"CLSID\\" + guid_text(CLSID_TEXTBRAID), false}})
        EXPECT_EQ(read(path) != L"<absent>", kept) << path;
    ASSERT_EQ(RegDeleteKeyW(mode.hive, (L"Software\\Classes\\" + other).c_str()), ERROR_SUCCESS);
    ASSERT_EQ(regsvr32(mode.remove), 0);
    EXPECT_TRUE(classes_tree() == before) << "unregistering did not restore the registry";
    RegDeleteTreeW(HKEY_CLASSES_ROOT, office_key.c_str());
}

}  // namespace
}  // namespace tb::wine
