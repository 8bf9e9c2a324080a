// The four exports of the in-process server, its class factories and its registration.
#include "server/com/module.h"

#include <atomic>
#include <string_view>

#include "server/com/textbraid_h.h"

namespace tb::com {

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

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

class ClassFactory final : public SingleInterfaceObject<ClassFactory, IClassFactory> {
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
    friend SingleInterfaceObject;
    ~ClassFactory() = default;
    ObjectCount count_;
    Creator create_;
};

std::wstring guid_text(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

void set_value(HKEY key, const wchar_t* name, const std::wstring& value) {
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    const LONG error =
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    if (error != ERROR_SUCCESS)
        fail(HRESULT_FROM_WIN32(static_cast<unsigned long>(error)), "RegSetValueExW");
}

// Creates (or opens) HKCR\path and sets its default value (when given) and named values.
void write_key(const std::wstring& path, const wchar_t* default_value,
               std::initializer_list<std::pair<const wchar_t*, std::wstring>> values = {}) {
    HKEY key = nullptr;
    const LONG error = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                       nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS)
        fail(HRESULT_FROM_WIN32(static_cast<unsigned long>(error)), "RegCreateKeyExW");
    struct Close {
        HKEY k;
        ~Close() { RegCloseKey(k); }
    } close{key};
    if (default_value) set_value(key, nullptr, default_value);
    for (const auto& [name, value] : values)
        set_value(key, name, value);
}

// Deletes HKCR\path with everything below it; a missing key is no failure.
void delete_tree(const std::wstring& path) {
    const LONG error = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        fail(HRESULT_FROM_WIN32(static_cast<unsigned long>(error)), "RegDeleteTreeW");
}

com_ptr<ITypeLib> load_type_library() {
    com_ptr<ITypeLib> library;
    check(LoadTypeLibEx(module_path().c_str(), REGKIND_NONE, library.put()), "LoadTypeLibEx");
    return library;
}

HRESULT register_server() {
    std::wstring path = module_path();
    auto library = load_type_library();
    check(RegisterTypeLib(library.get(), path.data(), nullptr), "RegisterTypeLib");

    const std::wstring libid = guid_text(LIBID_kzTEXTBRAID);
    for (const ClassEntry& c : kClasses) {
        const std::wstring clsid_key = L"CLSID\\" + guid_text(*c.clsid);
        write_key(clsid_key, c.progid);
        write_key(clsid_key + L"\\InprocServer32", path.c_str(),
                  {{L"ThreadingModel", L"Apartment"}});
        write_key(clsid_key + L"\\ProgID", c.progid);
        write_key(clsid_key + L"\\TypeLib", libid.c_str());
        write_key(clsid_key + L"\\VERSION", kTypeLibVersion);
        if (c.programmable) write_key(clsid_key + L"\\Programmable", nullptr);

        write_key(c.progid, c.description);
        write_key(std::wstring(c.progid) + L"\\CLSID", guid_text(*c.clsid).c_str());

        const std::wstring interface_key = L"Interface\\" + guid_text(*c.iid);
        write_key(interface_key, c.interface_name);
        write_key(interface_key + L"\\ProxyStubClsid", kAutomationMarshaller);
        write_key(interface_key + L"\\ProxyStubClsid32", kAutomationMarshaller);
        write_key(interface_key + L"\\TypeLib", libid.c_str(), {{L"Version", kTypeLibVersion}});
    }
    return S_OK;
}

HRESULT unregister_server() {
    const HRESULT hr = UnRegisterTypeLib(LIBID_kzTEXTBRAID, 1, 0, 0, SYS_WIN32);
    if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED &&
        hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return hr;
    for (const ClassEntry& c : kClasses) {
        delete_tree(L"CLSID\\" + guid_text(*c.clsid));
        delete_tree(c.progid);
        delete_tree(L"Interface\\" + guid_text(*c.iid));
    }
    return S_OK;
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
    auto library = load_type_library();
    com_ptr<ITypeInfo> info;
    check(library->GetTypeInfoOfGuid(iid, info.put()), "GetTypeInfoOfGuid");
    return info;
}

}  // namespace tb::com

using namespace tb::com;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
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
    return can_unload() ? S_OK : S_FALSE;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
    return guarded([] {
        const HRESULT hr = guarded(register_server);
        if (FAILED(hr)) unregister_server();
        return hr;
    });
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return guarded(unregister_server);
}

}  // extern "C"
