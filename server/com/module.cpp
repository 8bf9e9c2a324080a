// The exports of the in-process server, its class factories and its registration.
#include "server/com/module.h"

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/com/bridge.h"
#include "server/com/textbraid_h.h"

namespace tb::com {

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

// The type library and the type information of the interfaces the objects describe themselves
// by: loaded once per module on first use, given back when the module may be unloaded. Plain
// pointers, so nothing is released during static destruction (the runtime may be gone by then).
struct TypeInformation {
    SRWLOCK lock = SRWLOCK_INIT;
    ITypeLib* library = nullptr;
    std::pair<const IID*, ITypeInfo*> infos[4] = {};
};
constinit TypeInformation g_type_information;

class TypeInformationLock {
  public:
    TypeInformationLock() { AcquireSRWLockExclusive(&g_type_information.lock); }
    ~TypeInformationLock() { ReleaseSRWLockExclusive(&g_type_information.lock); }
    TypeInformationLock(const TypeInformationLock&) = delete;
    TypeInformationLock& operator=(const TypeInformationLock&) = delete;
};

using Creator = HRESULT (*)(REFIID, void**);

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* progid;
    const wchar_t* description;
    const IID* iid;
    const wchar_t* interface_name;
    Creator create;
    bool programmable;  // listed among Excel's Automation add-ins
};

const ClassEntry kClasses[] = {
    {&CLSID_ConnectExcel, L"kzTEXTBRAID.ConnectExcel", L"ConnectExcel", &IID__ConnectExcel,
     L"_ConnectExcel", create_connect_excel, false},
    {&CLSID_TEXTBRAID, L"kzTEXTBRAID.TEXTBRAID", L"TEXTBRAID", &IID__TEXTBRAID, L"_TEXTBRAID",
     create_textbraid, true},
    {&CLSID_CExcelEvents, L"kzTEXTBRAID.CExcelEvents", L"CExcelEvents", &IID__CExcelEvents,
     L"_CExcelEvents", create_excel_events, false},
};

// The standard automation marshaller (PSOAInterface).
constexpr wchar_t kAutomationMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kTypeLibVersion[] = L"1.0";

class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
  public:
    explicit ClassFactory(Creator create) : create_(create) {}

    bool answers(REFIID riid) const {
        return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create_(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock_server(lock != FALSE);
        return S_OK;
    }

  private:
    friend ComObject;
    ~ClassFactory() = default;
    ObjectCount count_;
    Creator create_;
};

std::wstring guid_text(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

[[noreturn]] void fail_registry(LONG error, const char* what) {
    fail(HRESULT_FROM_WIN32(static_cast<unsigned long>(error)), what);
}

// The classes root a registration goes below: HKEY_LOCAL_MACHINE's for the whole machine
// (DllRegisterServer), HKEY_CURRENT_USER's for the current user only (DllInstall "user"). On
// 64-bit Windows a 32-bit process sees the 32-bit view of the redirected keys (CLSID, Interface)
// below either root by the platform's own redirection, so both bitnesses register side by side;
// ProgIDs and TypeLib are shared between the views.
class ClassesRoot {
  public:
    explicit ClassesRoot(HKEY hive) : hive_(hive) {}

    // Creates (or opens) the key and sets its default value (when given) and named values.
    void write(const std::wstring& path, const std::wstring* default_value,
               const std::vector<std::pair<const wchar_t*, std::wstring>>& values) const {
        unique_hkey key;
        const LONG error = RegCreateKeyExW(hive_, full(path).c_str(), 0, nullptr, 0, KEY_WRITE,
                                           nullptr, key.put(), nullptr);
        if (error != ERROR_SUCCESS) fail_registry(error, "RegCreateKeyExW");
        if (default_value) set_value(key.get(), nullptr, *default_value);
        for (const auto& [name, value] : values)
            set_value(key.get(), name, value);
    }

    // Deletes the key with everything below it; a missing key is no failure.
    void delete_tree(const std::wstring& path) const {
        const LONG error = RegDeleteTreeW(hive_, full(path).c_str());
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
            fail_registry(error, "RegDeleteTreeW");
    }

    // Whether the key exists and has at least one subkey.
    bool has_subkeys(const std::wstring& path) const {
        DWORD subkeys = 0, values = 0;
        return count(path, subkeys, values) && subkeys > 0;
    }

    // Deletes the key if it holds neither values nor subkeys: the containers (CLSID, Interface,
    // TypeLib, the per-user classes root itself) a registration had to create are gone again
    // after the last unregistration. Where the system refuses, the empty key stays.
    void delete_if_empty(const std::wstring& path) const {
        DWORD subkeys = 1, values = 1;
        if (count(path, subkeys, values) && subkeys == 0 && values == 0)
            RegDeleteKeyW(hive_, full(path).c_str());
    }

  private:
    // The numbers of subkeys and values of the key; false when it cannot be opened or asked.
    bool count(const std::wstring& path, DWORD& subkeys, DWORD& values) const {
        unique_hkey key;
        if (RegOpenKeyExW(hive_, full(path).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return false;
        return RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    static std::wstring full(const std::wstring& path) {
        return path.empty() ? L"Software\\Classes" : L"Software\\Classes\\" + path;
    }
    static void set_value(HKEY key, const wchar_t* name, const std::wstring& value) {
        const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        const LONG error = RegSetValueExW(key, name, 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(value.c_str()), bytes);
        if (error != ERROR_SUCCESS) fail_registry(error, "RegSetValueExW");
    }
    HKEY hive_;
};

com_ptr<ITypeLib> load_type_library() {
    com_ptr<ITypeLib> library;
    check(LoadTypeLibEx(module_path().c_str(), REGKIND_NONE, library.put()), "LoadTypeLibEx");
    return library;
}

// The type library's registration below TypeLib\{LIBID}\1.0: the platform key is this build's
// own; the other bitness adds its own beside it.
constexpr const wchar_t* kPlatform = sizeof(void*) == 8 ? L"win64" : L"win32";

std::wstring type_library_key() {
    return L"TypeLib\\" + guid_text(LIBID_kzTEXTBRAID) + L"\\" + kTypeLibVersion;
}

struct Key {
    std::wstring path;
    std::optional<std::wstring> value;
    std::vector<std::pair<const wchar_t*, std::wstring>> values = {};
};

// Every key a registration writes, the same below either root. The type library's keys are
// written here rather than by RegisterTypeLib, which has no per-user form everywhere (Wine's
// writes machine-wide) and which would also claim the other registry view's interface keys.
std::vector<Key> registration_keys() {
    const std::wstring path = module_path();
    auto library = load_type_library();
    unique_bstr doc;
    check(library->GetDocumentation(-1, nullptr, doc.put(), nullptr, nullptr), "GetDocumentation");
    TLIBATTR* attr = nullptr;
    check(library->GetLibAttr(&attr), "GetLibAttr");
    // The registry's FLAGS hold the library's restricted, control and hidden flags only.
    const unsigned flags =
        static_cast<unsigned>(attr->wLibFlags) &
        static_cast<unsigned>(LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN);
    library->ReleaseTLibAttr(attr);

    const std::wstring libid = guid_text(LIBID_kzTEXTBRAID);
    const std::wstring tlb = type_library_key();
    std::vector<Key> keys = {
        {tlb, std::wstring(doc ? doc.get() : L"")},
        {tlb + L"\\FLAGS", std::to_wstring(flags)},
        {tlb + L"\\0\\" + kPlatform, path},
    };
    for (const ClassEntry& c : kClasses) {
        const std::wstring clsid = guid_text(*c.clsid);
        const std::wstring clsid_key = L"CLSID\\" + clsid;
        keys.push_back({clsid_key, c.progid});
        keys.push_back(
            {clsid_key + L"\\InprocServer32", path, {{L"ThreadingModel", L"Apartment"}}});
        keys.push_back({clsid_key + L"\\ProgID", c.progid});
        keys.push_back({clsid_key + L"\\TypeLib", libid});
        keys.push_back({clsid_key + L"\\VERSION", kTypeLibVersion});
        if (c.programmable) keys.push_back({clsid_key + L"\\Programmable", std::nullopt});

        keys.push_back({c.progid, c.description});
        keys.push_back({std::wstring(c.progid) + L"\\CLSID", clsid});

        const std::wstring interface_key = L"Interface\\" + guid_text(*c.iid);
        keys.push_back({interface_key, c.interface_name});
        keys.push_back({interface_key + L"\\ProxyStubClsid", kAutomationMarshaller});
        keys.push_back({interface_key + L"\\ProxyStubClsid32", kAutomationMarshaller});
        keys.push_back({interface_key + L"\\TypeLib", libid, {{L"Version", kTypeLibVersion}}});
    }
    return keys;
}

HRESULT register_server(const ClassesRoot& root) {
    for (const Key& key : registration_keys())
        root.write(key.path, key.value ? &*key.value : nullptr, key.values);
    return S_OK;
}

// Removes this bitness's registration: its class and interface keys (its own view) and its
// platform key of the type library. The shared keys (ProgIDs, the type library) go only with the
// last bitness, so unregistering one leaves the other working.
HRESULT unregister_server(const ClassesRoot& root) {
    for (const ClassEntry& c : kClasses) {
        root.delete_tree(L"CLSID\\" + guid_text(*c.clsid));
        root.delete_tree(L"Interface\\" + guid_text(*c.iid));
    }
    const std::wstring platforms = type_library_key() + L"\\0";
    root.delete_tree(platforms + L"\\" + kPlatform);
    if (!root.has_subkeys(platforms)) {
        root.delete_tree(L"TypeLib\\" + guid_text(LIBID_kzTEXTBRAID));
        for (const ClassEntry& c : kClasses)
            root.delete_tree(c.progid);
    }
    for (const wchar_t* container : {L"CLSID", L"Interface", L"TypeLib", L""})
        root.delete_if_empty(container);
    return S_OK;
}

// Registers below the root; a registration that fails half-way is taken back.
HRESULT install(const ClassesRoot& root, bool registering) {
    return guarded([&] {
        if (!registering) return unregister_server(root);
        const HRESULT hr = guarded([&] { return register_server(root); });
        if (FAILED(hr)) unregister_server(root);
        return hr;
    });
}

}  // namespace

HMODULE module_handle() {
    return g_module;
}

std::wstring module_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) fail(HRESULT_FROM_WIN32(GetLastError()), "GetModuleFileNameW");
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void object_created() {
    ++g_objects;
}
void object_destroyed() {
    --g_objects;
}
void lock_server(bool lock) {
    if (lock)
        ++g_locks;
    else
        --g_locks;
}
bool can_unload() {
    return g_objects == 0 && g_locks == 0;
}

com_ptr<ITypeInfo> type_info(REFIID iid) {
    const TypeInformationLock hold;
    auto& library = g_type_information.library;
    auto& infos = g_type_information.infos;
    for (const auto& [known, info] : infos)
        if (info && IsEqualIID(*known, iid)) return com_ptr<ITypeInfo>::share(info);
    for (auto& [known, info] : infos) {
        if (info) continue;
        if (!library) library = load_type_library().detach();
        check(library->GetTypeInfoOfGuid(iid, &info), "GetTypeInfoOfGuid");
        known = &iid;
        return com_ptr<ITypeInfo>::share(info);
    }
    fail(E_UNEXPECTED, "more described interfaces than kept");
}

void release_type_information() noexcept {
    const TypeInformationLock hold;
    for (auto& [known, info] : g_type_information.infos)
        if (ITypeInfo* held = std::exchange(info, nullptr)) held->Release();
    if (ITypeLib* held = std::exchange(g_type_information.library, nullptr)) held->Release();
}

}  // namespace tb::com

using namespace tb::com;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    // Unloaded by FreeLibrary (not at process exit): give back the memory kept for reuse.
    if (reason == DLL_PROCESS_DETACH && !reserved) {
        release_type_information();
        release_cached_blocks();
    }
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    return guarded([&]() -> HRESULT {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        for (const ClassEntry& c : kClasses) {
            if (!IsEqualCLSID(clsid, *c.clsid)) continue;
            auto factory = com_ptr<ClassFactory>::adopt(new ClassFactory(c.create));
            return factory->QueryInterface(iid, ppv);
        }
        return CLASS_E_CLASSNOTAVAILABLE;
    });
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    if (!can_unload()) return S_FALSE;
    release_type_information();
    return S_OK;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
    return install(ClassesRoot(HKEY_LOCAL_MACHINE), true);
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return install(ClassesRoot(HKEY_LOCAL_MACHINE), false);
}

// regsvr32 /n /i:user registers for the current user only, without administrator rights, and
// regsvr32 /u /n /i:user takes that registration back; no other command line is understood.
HRESULT STDAPICALLTYPE DllInstall(BOOL registering, PCWSTR command_line) {
    if (!command_line || _wcsicmp(command_line, L"user") != 0) return E_INVALIDARG;
    return install(ClassesRoot(HKEY_CURRENT_USER), registering != FALSE);
}

}  // extern "C"
