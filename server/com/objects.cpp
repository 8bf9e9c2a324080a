// The three COM classes: TEXTBRAID (the worksheet function), ConnectExcel (the COM add-in) and
// CExcelEvents (the event sink). Each is a thin shell over the portable logic; every entry point
// checks its pointers and turns failures into status codes.
#include <memory>
#include <vector>

#include "core/host/connection.h"
#include "core/worksheet/textbraid.h"
#include "server/com/bridge.h"
#include "server/com/module.h"
#include "server/com/textbraid_h.h"
#include "win/dispatch.h"

namespace tb::com {

namespace {

constexpr DISPID kDispidTextBraid = 0x60030004;
// IDTExtensibility2's members, in slot order.
constexpr DISPID kOnConnection = 1;
constexpr DISPID kOnDisconnection = 2;
constexpr DISPID kOnBeginShutdown = 5;

// IUnknown and the type-information half of IDispatch for an object whose late-bound calls are
// described by one dual interface of the embedded type library; the derived class writes Invoke.
template <class Derived, const IID& Described, class First, class... Rest>
class TypedDispatch : public ComObject<Derived, First, Rest...> {
  public:
    bool answers(REFIID riid) const {
        return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
               IsEqualIID(riid, Described);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return guarded([&] {
            *info = type_info(Described).detach();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        return guarded(
            [&] { return DispGetIDsOfNames(type_info(Described).get(), names, count, ids); });
    }
};

// The help box: the real modal message box, owned by the active window when there is one.
void show_help_box(const std::u16string& text, const std::u16string& title, std::uint32_t style) {
    MessageBoxW(GetActiveWindow(), wide(text), wide(title), style);
}

class TextBraidObject final : public TypedDispatch<TextBraidObject, IID__TEXTBRAID, _TEXTBRAID> {
  public:
    // Written by hand: the automation runtime cannot call a vararg method whose argument list is
    // an in/out SAFEARRAY followed by a return value. The arguments arrive right to left in
    // rgvarg and go to the method left to right in a 1-D array with lower bound 0.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                     UINT*) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (dispid != kDispidTextBraid) return DISP_E_MEMBERNOTFOUND;
        if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
        if (const HRESULT hr = win::ReceivedArgs::check(params); FAILED(hr)) return hr;
        return guarded([&] {
            const win::ReceivedArgs received(params);
            SAFEARRAYBOUND bound{static_cast<ULONG>(received.size()), 0};
            unique_safearray args(SafeArrayCreate(VT_VARIANT, 1, &bound));
            if (!args.get()) return E_OUTOFMEMORY;
            for (LONG i = 0; i < static_cast<LONG>(received.size()); ++i)
                check(SafeArrayPutElement(args.get(), &i, &received[static_cast<std::size_t>(i)]),
                      "SafeArrayPutElement");
            unique_variant answer;
            SAFEARRAY* list = args.get();
            const HRESULT hr = TEXTBRAID(&list, answer.get());
            // The caller's result VARIANT is an out-parameter: written, never freed here.
            if (SUCCEEDED(hr) && result) answer.release_to(result);
            return hr;
        });
    }

    HRESULT STDMETHODCALLTYPE TEXTBRAID(SAFEARRAY** params, VARIANT* result) override {
        if (!result) return E_POINTER;
        return guarded([&] {
            VariantInit(result);
            Value answer;
            std::vector<Value> args;
            bool readable = true;
            try {
                args = to_values(params ? *params : nullptr);
            } catch (const Failure&) {
                readable = false;  // an argument without a tagged-value form
            }
            answer = readable ? function_(args) : Value::xl_error(xlerr::value);
            to_variant(answer, result);
            return S_OK;
        });
    }

  private:
    friend ComObject;
    ~TextBraidObject() = default;
    ObjectCount count_;
    tb::TEXTBRAID function_{show_help_box};
};

class ExcelEventsObject final
    : public TypedDispatch<ExcelEventsObject, IID__CExcelEvents, _CExcelEvents> {
  public:
    // _CExcelEvents has no members.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID riid, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        return DISP_E_MEMBERNOTFOUND;
    }

  private:
    friend ComObject;
    ~ExcelEventsObject() = default;
    ObjectCount count_;
    // Subscribes to the events of gExcelApp's Application (when set) for the object's lifetime.
    tb::CExcelEvents logic_;
};

// The event sink that gExcelEvents holds: one COM reference, given back by the deleter.
std::shared_ptr<void> create_sink() {
    auto* sink = new ExcelEventsObject();
    return std::shared_ptr<void>(static_cast<IUnknown*>(sink),
                                 [](void* p) { static_cast<IUnknown*>(p)->Release(); });
}

// Both interfaces dispatch late-bound calls against IDTExtensibility2: _ConnectExcel has no
// members of its own.
class ConnectExcelObject final : public TypedDispatch<ConnectExcelObject, IID_IDTExtensibility2,
                                                      _ConnectExcel, IDTExtensibility2> {
  public:
    void* interface_for(REFIID riid) {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID__ConnectExcel))
            return static_cast<_ConnectExcel*>(this);
        if (answers(riid)) return static_cast<IDTExtensibility2*>(this);
        return nullptr;
    }
    // Written by hand like TEXTBRAID's: the automation runtime mishandles the by-reference
    // SAFEARRAY parameter these members share (it fails or writes through it). Only the
    // Application argument is used; the others are accepted as they come.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                     UINT* arg_error) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (dispid < kOnConnection || dispid > kOnBeginShutdown) return DISP_E_MEMBERNOTFOUND;
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        if (const HRESULT hr = win::ReceivedArgs::check(params); FAILED(hr)) return hr;
        const win::ReceivedArgs received(params);
        const UINT expected = dispid == kOnConnection ? 4 : dispid == kOnDisconnection ? 2 : 1;
        if (received.size() != expected) return DISP_E_BADPARAMCOUNT;
        if (result) VariantInit(result);
        if (dispid != kOnConnection)
            return dispid == kOnDisconnection ? OnDisconnection(ext_dm_HostShutdown, nullptr)
                                              : S_OK;
        return guarded([&] {
            Value application;
            try {
                application = to_value(received[0]);
            } catch (const Failure&) {
                if (arg_error) *arg_error = 0;
                return DISP_E_TYPEMISMATCH;
            }
            if (!application.is_object() && !application.is_empty() && !application.is_null()) {
                if (arg_error) *arg_error = 0;
                return DISP_E_TYPEMISMATCH;
            }
            tb::OnConnection(application.is_object() ? application.object_value() : ObjectRef(),
                             create_sink);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* Application, ext_ConnectMode, IDispatch*,
                                           SAFEARRAY**) override {
        return guarded([&] {
            tb::OnConnection(host_object(Application), create_sink);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode, SAFEARRAY**) override {
        tb::OnDisconnection();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY**) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY**) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY**) override { return S_OK; }

  private:
    friend ComObject;
    ~ConnectExcelObject() = default;
    ObjectCount count_;
};

template <class T>
HRESULT create(REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return guarded([&] {
        auto object = com_ptr<T>::adopt(new T());
        return object->QueryInterface(iid, ppv);
    });
}

}  // namespace

HRESULT create_connect_excel(REFIID iid, void** ppv) {
    return create<ConnectExcelObject>(iid, ppv);
}
HRESULT create_textbraid(REFIID iid, void** ppv) {
    return create<TextBraidObject>(iid, ppv);
}
HRESULT create_excel_events(REFIID iid, void** ppv) {
    return create<ExcelEventsObject>(iid, ppv);
}

}  // namespace tb::com
