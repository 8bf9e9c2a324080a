#include "tools/winexcel/standin_dispatch.h"

#include <ocidl.h>
#include <olectl.h>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/com/bridge.h"
#include "win/dispatch.h"

namespace tb::wine {

using com::com_ptr;
using com::guarded;

namespace {

std::int64_t g_live = 0;
std::uint64_t g_delivered = 0;

// Answered only by HostDispatch itself, so the bridge can recognise its own objects.
const GUID kSelf = {0x5d1c0b7e, 0x2f43, 0x4c55, {0x9a, 0x1e, 0x3b, 0x77, 0x0c, 0x61, 0xd2, 0x08}};

// Member names get dispatch identifiers on first request, the same for every object.
std::map<std::u16string, DISPID>& ids_by_name() {
    static std::map<std::u16string, DISPID> ids;
    return ids;
}
std::map<DISPID, std::u16string>& names_by_id() {
    static std::map<DISPID, std::u16string> names;
    return names;
}

// Calls an advised sink for each event the stand-in raises.
class EventAdapter final : public EventSink {
  public:
    explicit EventAdapter(com_ptr<IDispatch> sink) : sink_(std::move(sink)) {}
    void on_event(std::u16string_view name, std::span<const Value> args) override {
        win::CallArgs argv(args.size());
        for (std::size_t i = 0; i < args.size(); ++i)
            com::to_variant(args[i], argv[i]);
        if (SUCCEEDED(win::call(sink_.get(), com::app_event_dispid(name), DISPATCH_METHOD, argv,
                                nullptr, 1033)))
            ++g_delivered;
    }

  private:
    com_ptr<IDispatch> sink_;
};

class HostDispatch;

class ConnectionPoint final : public com::ComObject<ConnectionPoint, IConnectionPoint> {
  public:
    explicit ConnectionPoint(HostDispatch* owner);
    bool answers(REFIID riid) const {
        return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint);
    }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = com::to_guid(iid::app_events);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  private:
    friend ComObject;
    ~ConnectionPoint();
    HostDispatch* owner_;
};

class HostDispatch final
    : public com::UntypedDispatch<HostDispatch, IDispatch, IConnectionPointContainer>,
      public com::Recycled<HostDispatch> {
  public:
    explicit HostDispatch(ObjectRef host) : host_(std::move(host)) { ++g_live; }

    const ObjectRef& host() const { return host_; }

    void* interface_for(REFIID riid) {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, kSelf))
            return static_cast<IDispatch*>(this);
        if (IsEqualIID(riid, IID_IConnectionPointContainer))
            return static_cast<IConnectionPointContainer*>(this);
        // Excel's own interfaces (_Application, …) are dual: the same IDispatch answers.
        try {
            host_->query(com::from_guid(riid));
        } catch (...) {
            return nullptr;
        }
        return static_cast<IDispatch*>(this);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (count != 1) return DISP_E_UNKNOWNNAME;  // no named arguments
        return guarded([&] {
            std::u16string name = to_upper(reinterpret_cast<const char16_t*>(names[0]));
            auto it = ids_by_name().find(name);
            if (it == ids_by_name().end()) {  // a name seen for the first time
                const auto id = static_cast<DISPID>(ids_by_name().size() + 1);
                names_by_id()[id] = name;
                it = ids_by_name().emplace(std::move(name), id).first;
            }
            ids[0] = it->second;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT*) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (const HRESULT hr = win::ReceivedArgs::check(params); FAILED(hr)) return hr;
        std::u16string_view member;  // the map's nodes stay where they are
        if (dispid != DISPID_VALUE) {
            auto it = names_by_id().find(dispid);
            if (it == names_by_id().end()) return DISP_E_MEMBERNOTFOUND;
            member = it->second;
        }
        if (result) VariantInit(result);
        const HRESULT hr = guarded([&] {
            // A few arguments fit without an allocation.
            const win::ReceivedArgs received(params);
            std::array<Value, 4> few;
            std::vector<Value> many(received.size() > few.size() ? received.size() : 0);
            const std::span<Value> args = many.empty()
                                              ? std::span<Value>(few).first(received.size())
                                              : std::span<Value>(many);
            for (std::size_t i = 0; i < received.size(); ++i)
                args[i] = com::to_value(received[i]);
            const InvokeKind kind =
                (flags & DISPATCH_PROPERTYGET) ? InvokeKind::PropertyGet : InvokeKind::Method;
            Value answer = host_->invoke(member, kind, args);
            if (result) com::to_variant(answer, result);
            return S_OK;
        });
        if (SUCCEEDED(hr) || !exception) return hr;
        // As Excel reports a failing member: DISP_E_EXCEPTION, the cause in EXCEPINFO.
        *exception = EXCEPINFO{};
        exception->scode = hr;
        exception->bstrSource = SysAllocString(L"stand-in Excel");
        return DISP_E_EXCEPTION;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
        if (!point) return E_POINTER;
        *point = nullptr;
        if (!IsEqualIID(riid, com::to_guid(iid::app_events))) return CONNECT_E_NOCONNECTION;
        try {
            host_->query(iid::application);
        } catch (...) {
            return CONNECT_E_NOCONNECTION;
        }
        *point = new ConnectionPoint(this);
        return S_OK;
    }

    HRESULT advise(IUnknown* sink, DWORD* cookie) {
        if (!sink || !cookie) return E_POINTER;
        com_ptr<IDispatch> events;
        if (FAILED(sink->QueryInterface(com::to_guid(iid::app_events), events.put_void())))
            return CONNECT_E_CANNOTCONNECT;
        return guarded([&] {
            auto adapter = std::make_unique<EventAdapter>(std::move(events));
            *cookie = host_->connect_events(iid::app_events, *adapter);
            adapters_[*cookie] = std::move(adapter);
            return S_OK;
        });
    }
    HRESULT unadvise(DWORD cookie) {
        auto it = adapters_.find(cookie);
        if (it == adapters_.end()) return CONNECT_E_NOCONNECTION;
        const HRESULT hr = guarded([&] {
            host_->disconnect_events(cookie);
            return S_OK;
        });
        adapters_.erase(it);
        return hr;
    }

  private:
    friend ComObject;
    ~HostDispatch() {
        for (auto& [cookie, adapter] : adapters_) {
            try {
                host_->disconnect_events(cookie);
            } catch (...) {
            }
        }
        --g_live;
    }

    ObjectRef host_;
    std::map<DWORD, std::unique_ptr<EventAdapter>> adapters_;
};

ConnectionPoint::ConnectionPoint(HostDispatch* owner) : owner_(owner) {
    static_cast<IDispatch*>(owner_)->AddRef();
}
ConnectionPoint::~ConnectionPoint() {
    static_cast<IDispatch*>(owner_)->Release();
}
HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    return owner_->QueryInterface(IID_IConnectionPointContainer,
                                  reinterpret_cast<void**>(container));
}
HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    return owner_->advise(sink, cookie);
}
HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
    return owner_->unadvise(cookie);
}

ObjectRef unwrap(IDispatch* dispatch) {
    com_ptr<IDispatch> self;
    if (FAILED(dispatch->QueryInterface(kSelf, self.put_void()))) return ObjectRef();
    return static_cast<HostDispatch*>(self.get())->host();
}

IDispatch* wrap(const ObjectRef& object) {
    return dispatch_for(object);
}

}  // namespace

void serve_standin_over_com() {
    com::set_object_codec(com::ObjectCodec{unwrap, wrap});
}

IDispatch* dispatch_for(const ObjectRef& object) {
    return static_cast<IDispatch*>(new HostDispatch(object));
}

std::int64_t live_dispatch_objects() {
    return g_live;
}
std::uint64_t events_delivered() {
    return g_delivered;
}

}  // namespace tb::wine
