// "WScript.Shell" for the Wine test prefix: Wine's own shell object with what the installer relies
// on and Wine lacks added over the registry API: RegDelete (Wine answers E_NOTIMPL), and RegRead
// of a key that exists without a default value answering an empty text (Wine fails as if the key
// were absent). Everything else is Wine's own. regsvr32 puts it under the ProgID; /u gives the
// ProgID back to Wine's own class.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <string>

namespace {

// Wine's own shell class, which this one wraps.
constexpr CLSID kWineShell = {
    0x72c24dd5, 0xd70a, 0x438b, {0x8a, 0x42, 0x98, 0x42, 0x4b, 0x88, 0xaf, 0xb8}};
constexpr wchar_t kClsidText[] = L"{16E29E89-DCE1-482B-B95A-86E1D68E0C66}";
constexpr DISPID kRegDelete = 0x40000001;
HINSTANCE g_module = nullptr;

// Opens the key of "HKEY_CURRENT_USER\<key>\<name>" (name empty: the key itself); the answer is
// the registry's status.
LSTATUS OpenKey(const std::wstring& path, REGSAM access, HKEY* key, std::wstring* name) {
    const std::wstring root = L"HKEY_CURRENT_USER\\";
    const std::size_t last = path.rfind(L'\\');
    if (path.compare(0, root.size(), root) != 0 || last < root.size())
        return ERROR_INVALID_PARAMETER;
    *name = path.substr(last + 1);
    return RegOpenKeyExW(HKEY_CURRENT_USER, path.substr(root.size(), last - root.size()).c_str(), 0,
                         access, key);
}

// A key path (ending in "\") whose key exists but has no default value.
bool KeyWithoutDefault(const std::wstring& path) {
    HKEY key = nullptr;
    std::wstring name;
    if (OpenKey(path, KEY_QUERY_VALUE, &key, &name) != ERROR_SUCCESS) return false;
    const LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return name.empty() && status == ERROR_FILE_NOT_FOUND;
}

// Deletes a value; a failure comes back as the platform's shell raises it: DISP_E_EXCEPTION with
// the HRESULT of the registry's answer.
HRESULT RegDelete(const std::wstring& path, EXCEPINFO* exception) {
    HKEY key = nullptr;
    std::wstring name;
    LSTATUS status = OpenKey(path, KEY_SET_VALUE, &key, &name);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(key, name.c_str());
        RegCloseKey(key);
    }
    if (status == ERROR_SUCCESS) return S_OK;
    if (exception) {
        *exception = EXCEPINFO{};
        exception->scode = HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    }
    return DISP_E_EXCEPTION;
}

class Shell final : public IDispatch {
  public:
    explicit Shell(IDispatch* inner) : inner_(inner) {}
    virtual ~Shell() { inner_->Release(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch))
            return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return inner_->GetTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return inner_->GetTypeInfo(index, lcid, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override {
        if (names && ids && count == 1 && lstrcmpiW(names[0], L"RegDelete") == 0) {
            ids[0] = kRegDelete;
            return S_OK;
        }
        const HRESULT hr = inner_->GetIDsOfNames(riid, names, count, lcid, ids);
        if (SUCCEEDED(hr) && count == 1 && lstrcmpiW(names[0], L"RegRead") == 0) regRead_ = ids[0];
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override {
        VARIANT path;
        VariantInit(&path);
        if ((id == kRegDelete || id == regRead_) && params && params->cArgs == 1)
            VariantChangeType(&path, &params->rgvarg[0], 0, VT_BSTR);
        const std::wstring text = path.vt == VT_BSTR
                                      ? std::wstring(path.bstrVal, SysStringLen(path.bstrVal))
                                      : std::wstring();
        VariantClear(&path);
        if (id == kRegDelete) return RegDelete(text, exception);
        if (id == regRead_ && result && KeyWithoutDefault(text)) {
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocString(L"");
            return S_OK;
        }
        return inner_->Invoke(id, riid, lcid, flags, params, result, exception, argumentError);
    }

  private:
    IDispatch* inner_;
    DISPID regRead_ = DISPID_UNKNOWN;
    LONG refs_ = 1;
};

class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        IDispatch* inner = nullptr;
        HRESULT hr = CoCreateInstance(kWineShell, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&inner));
        if (FAILED(hr)) return hr;
        Shell* shell = new Shell(inner);
        hr = shell->QueryInterface(riid, out);
        shell->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID riid, void** out) {
    return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return S_FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(g_module, path, MAX_PATH);
    const std::wstring server = std::wstring(L"CLSID\\") + kClsidText + L"\\InprocServer32";
    const auto set = [](const std::wstring& key, const wchar_t* name, const std::wstring& value) {
        return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    const bool ok = set(server, nullptr, path) == ERROR_SUCCESS &&
                    set(server, L"ThreadingModel", L"Apartment") == ERROR_SUCCESS &&
                    set(L"WScript.Shell\\CLSID", nullptr, kClsidText) == ERROR_SUCCESS;
    return ok ? S_OK : E_FAIL;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kClsidText).c_str());
    HMODULE wshom = LoadLibraryW(L"wshom.ocx");
    const auto reregister = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(wshom ? GetProcAddress(wshom, "DllRegisterServer") : nullptr));
    const HRESULT hr = reregister ? reregister() : E_FAIL;
    if (wshom) FreeLibrary(wshom);
    return hr;
}
