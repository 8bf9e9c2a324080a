// "WScript.Shell" for the Wine test prefix's uninstall steps: Wine's own shell object with the one
// member the installer relies on and Wine lacks, RegDelete (Wine answers E_NOTIMPL), added over
// the registry API; everything else goes to Wine's shell unchanged. regsvr32 puts it under the
// ProgID; /u gives the ProgID back to Wine's own class.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <string>

namespace {

constexpr CLSID kWineShell = {
    0x72c24dd5, 0xd70a, 0x438b, {0x8a, 0x42, 0x98, 0x42, 0x4b, 0x88, 0xaf, 0xb8}};
constexpr wchar_t kClsidText[] = L"{16E29E89-DCE1-482B-B95A-86E1D68E0C66}";
constexpr DISPID kRegDelete = 0x40000001;

// Deletes the value "HKEY_CURRENT_USER\<key>\<name>"; the registry's answer.
LSTATUS DeleteValue(const std::wstring& path) {
    const std::size_t root = 18, last = path.rfind(L'\\');  // "HKEY_CURRENT_USER\"
    if (path.compare(0, root, L"HKEY_CURRENT_USER\\") != 0 || last < root)
        return ERROR_INVALID_PARAMETER;
    const std::wstring name = path.substr(last + 1);
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, path.substr(root, last - root).c_str(), 0,
                                   KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    status = RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
    return status;
}

class Shell final : public IDispatch {
  public:
    explicit Shell(IDispatch* inner) : inner_(inner) {}
    virtual ~Shell() { inner_->Release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ? this : nullptr;
        return *out ? AddRef(), S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return ULONG(left);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return inner_->GetTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return inner_->GetTypeInfo(index, lcid, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override {
        if (count == 1 && lstrcmpiW(names[0], L"RegDelete") == 0) return *ids = kRegDelete, S_OK;
        return inner_->GetIDsOfNames(riid, names, count, lcid, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override {
        if (id != kRegDelete)
            return inner_->Invoke(id, riid, lcid, flags, params, result, exception, argumentError);
        VARIANT path;
        VariantInit(&path);
        if (params && params->cArgs == 1) VariantChangeType(&path, &params->rgvarg[0], 0, VT_BSTR);
        const std::wstring text(path.vt == VT_BSTR ? path.bstrVal : L"");
        VariantClear(&path);
        // A failure comes back as the platform's shell raises it.
        const LSTATUS status = DeleteValue(text);
        if (status == ERROR_SUCCESS) return S_OK;
        if (exception)
            *exception = EXCEPINFO{}, exception->scode = HRESULT_FROM_WIN32(DWORD(status));
        return DISP_E_EXCEPTION;
    }

  private:
    IDispatch* inner_;
    LONG refs_ = 1;
};

class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out =
            IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** out) override {
        IDispatch* inner = nullptr;  // never aggregated: COM creates it for AddinSetup alone
        HRESULT hr = CoCreateInstance(kWineShell, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&inner));
        if (FAILED(hr)) return hr;
        Shell* shell = new Shell(inner);
        hr = shell->QueryInterface(riid, out);
        shell->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} g_factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID, REFIID riid, void** out) {
    return g_factory.QueryInterface(riid, out);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t path[MAX_PATH];
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&g_factory), &self);
    GetModuleFileNameW(self, path, MAX_PATH);
    const std::wstring server = std::wstring(L"CLSID\\") + kClsidText + L"\\InprocServer32";
    const auto set = [](const std::wstring& key, const wchar_t* name, const std::wstring& value) {
        return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                               DWORD((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    };
    const bool ok = set(server, nullptr, path) && set(server, L"ThreadingModel", L"Apartment") &&
                    set(L"WScript.Shell\\CLSID", nullptr, kClsidText);
    return ok ? S_OK : E_FAIL;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kClsidText).c_str());
    HMODULE wshom = LoadLibraryW(L"wshom.ocx");
    const auto reregister = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(wshom ? GetProcAddress(wshom, "DllRegisterServer") : nullptr));
    return reregister ? reregister() : E_FAIL;
}
