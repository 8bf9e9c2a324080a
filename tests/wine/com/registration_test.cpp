// Self-registration through regsvr32: what the registry holds afterwards, idempotence, and that
// unregistering restores the registry exactly.
#include <gtest/gtest.h>

#include "server/com/textbraid_h.h"
#include "tests/wine/com/support.h"

namespace tb::wine {
namespace {

const std::wstring kMarshaller = L"{00020424-0000-0000-C000-000000000046}";

struct Class {
    const CLSID& clsid;
    const wchar_t* progid;
    const IID& iid;
    const wchar_t* interface_name;
    bool programmable;
};
const Class kClasses[] = {
    {CLSID_ConnectExcel, L"kzTEXTBRAID.ConnectExcel", IID__ConnectExcel, L"_ConnectExcel", false},
    {CLSID_TEXTBRAID, L"kzTEXTBRAID.TEXTBRAID", IID__TEXTBRAID, L"_TEXTBRAID", true},
    {CLSID_CExcelEvents, L"kzTEXTBRAID.CExcelEvents", IID__CExcelEvents, L"_CExcelEvents", false},
};

std::map<std::wstring, std::wstring> classes_tree() {
    auto machine = snapshot(HKEY_LOCAL_MACHINE, L"Software\\Classes");
    auto user = snapshot(HKEY_CURRENT_USER, L"Software\\Classes");
    for (auto& [key, values] : user)
        machine[L"HKCU\\" + key] = values;
    return machine;
}

int regsvr32(const wchar_t* options) {
    return run(L"regsvr32.exe " + std::wstring(options) + L" \"" + dll_path() + L"\"");
}

// A path below the classes of the root a registration wrote to. (Wine's HKEY_CLASSES_ROOT is
// the machine's classes only; it does not merge the user's as Windows does.)
std::wstring classes(const std::wstring& path) {
    return L"Software\\Classes\\" + path;
}

// Machine-wide (DllRegisterServer) and for the current user only (DllInstall "user").
struct Mode {
    HKEY hive;
    const wchar_t* add;
    const wchar_t* remove;
    bool user_only;
};
class Registration : public testing::TestWithParam<Mode> {};
INSTANTIATE_TEST_SUITE_P(Modes, Registration,
                         testing::Values(Mode{HKEY_LOCAL_MACHINE, L"/s", L"/u /s", false},
                                         Mode{HKEY_CURRENT_USER, L"/s /n /i:user",
                                              L"/u /s /n /i:user", true}));

TEST_P(Registration, RegistersEverythingAndUnregistersExactlyThat) {
    const Mode& mode = GetParam();
    auto hkcr = [&](const std::wstring& path) {
        std::wstring value;
        return read_string(mode.hive, classes(path), nullptr, value) ? value : L"<absent>";
    };
    // An interface key that Office's add-in library owns must survive both directions.
    const std::wstring office_key = L"Interface\\{B65AD801-ABAF-11D0-BB8B-00A0C90F2744}";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, office_key.c_str(), 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"_IDTExtensibility2"),
                   38);
    RegCloseKey(key);

    const auto before = classes_tree();
    ASSERT_EQ(regsvr32(mode.add), 0);
    const auto once = classes_tree();
    ASSERT_EQ(regsvr32(mode.add), 0);
    EXPECT_TRUE(once == classes_tree()) << "registering twice differs from registering once";

    const std::wstring libid = guid_text(LIBID_kzTEXTBRAID);
    const std::wstring dll = normalise_path(dll_path());
    for (const Class& c : kClasses) {
        SCOPED_TRACE(c.progid);
        const std::wstring clsid = L"CLSID\\" + guid_text(c.clsid);
        std::wstring server, model;
        ASSERT_TRUE(read_string(mode.hive, classes(clsid + L"\\InprocServer32"), nullptr, server));
        EXPECT_EQ(normalise_path(server), dll);
        ASSERT_TRUE(
            read_string(mode.hive, classes(clsid + L"\\InprocServer32"), L"ThreadingModel", model));
        EXPECT_EQ(model, L"Apartment");
        EXPECT_EQ(hkcr(clsid + L"\\ProgID"), c.progid);
        EXPECT_EQ(hkcr(clsid + L"\\TypeLib"), libid);
        EXPECT_EQ(key_exists(mode.hive, classes(clsid + L"\\Programmable")), c.programmable);
        EXPECT_EQ(hkcr(std::wstring(c.progid) + L"\\CLSID"), guid_text(c.clsid));

        const std::wstring iface = L"Interface\\" + guid_text(c.iid);
        EXPECT_EQ(hkcr(iface), c.interface_name);
        EXPECT_EQ(hkcr(iface + L"\\ProxyStubClsid32"), kMarshaller);
        EXPECT_EQ(hkcr(iface + L"\\TypeLib"), libid);
        std::wstring version;
        EXPECT_TRUE(read_string(mode.hive, classes(iface + L"\\TypeLib"), L"Version", version));
        EXPECT_EQ(version, L"1.0");
    }
    std::wstring tlb_path;
    const std::wstring platform = sizeof(void*) == 8 ? L"win64" : L"win32";
    ASSERT_TRUE(read_string(mode.hive, classes(L"TypeLib\\" + libid + L"\\1.0\\0\\" + platform),
                            nullptr, tlb_path));
    EXPECT_EQ(normalise_path(tlb_path), dll);
    EXPECT_EQ(hkcr(L"TypeLib\\" + libid + L"\\1.0"), L"Concatenates Excel Cell Range Values");

    // Everything added lies under the keys of this server.
    std::vector<std::wstring> ours = {L"TypeLib\\" + libid};
    for (const Class& c : kClasses) {
        ours.push_back(L"CLSID\\" + guid_text(c.clsid));
        ours.push_back(c.progid);
        ours.push_back(L"Interface\\" + guid_text(c.iid));
    }
    for (const auto& [path, values] : once) {
        auto it = before.find(path);
        if (it != before.end() && it->second == values) continue;
        // A shared key shows in both registry views; a per-user registration may have had to
        // create the classes root and its containers.
        const std::wstring changed = normalise_path(path);
        bool under_ours = changed.ends_with(normalise_path(L"\\Classes"));
        for (const auto& prefix : ours)
            under_ours = under_ours ||
                         changed.find(normalise_path(L"\\" + prefix)) != std::wstring::npos ||
                         changed.ends_with(
                             normalise_path(L"\\Classes\\" + prefix.substr(0, prefix.find(L'\\'))));
        EXPECT_TRUE(under_ours) << "unexpected change: " << std::string(path.begin(), path.end());
        EXPECT_TRUE(!mode.user_only || path.rfind(L"HKCU\\", 0) == 0)
            << "outside the user's classes: " << std::string(path.begin(), path.end());
    }

    ASSERT_EQ(regsvr32(mode.remove), 0);
    const auto after = classes_tree();
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [path, values] : before) {
        auto it = after.find(path);
        EXPECT_TRUE(it != after.end() && it->second == values)
            << "not restored: " << std::string(path.begin(), path.end());
    }
    for (const auto& [path, values] : after)
        EXPECT_TRUE(before.count(path)) << "left behind: " << std::string(path.begin(), path.end());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, office_key.c_str());
}

}  // namespace
}  // namespace tb::wine
