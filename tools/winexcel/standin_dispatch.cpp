#include "tools/winexcel/standin_dispatch.h"

#include <ocidl.h>
#include <olectl.h>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/com/bridge.h"

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
        std::vector<com::unique_variant> argv(args.size());
        for (std::size_t i = 0; i < args.size(); ++i)
            com::to_variant(args[i], argv[args.size() - 1 - i].get());
        DISPPARAMS params{argv.empty() ? nullptr : argv.front().get(), nullptr,
                          static_cast<UINT>(argv.size()), 0};
        if (SUCCEEDED(sink_->Invoke(com::app_event_dispid(name), IID_NULL, 1033, DISPATCH_METHOD,
                                    &params, nullptr, nullptr, nullptr)))
            ++g_delivered;
    }

  private:
    com_ptr<IDispatch> sink_;
};

class HostDispatch;

class ConnectionPoint final : public IConnectionPoint {
  public:
    explicit ConnectionPoint(HostDispatch* owner);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint))
            return E_NOINTERFACE;
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
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
    ~ConnectionPoint();
    HostDispatch* owner_;
    ULONG refs_ = 1;
};

class HostDispatch final : public IDispatch,
                           public IConnectionPointContainer,
                           public com::Recycled<HostDispatch> {
  public:
    explicit HostDispatch(ObjectRef host) : host_(std::move(host)) { ++g_live; }

    const ObjectRef& host() const { return host_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, kSelf)) {
            *ppv = static_cast<IDispatch*>(this);
        } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
            *ppv = static_cast<IConnectionPointContainer*>(this);
        } else {
            // Excel's own interfaces (_Application, …) are dual: the same IDispatch answers.
            try {
                host_->query(com::from_guid(riid));
            } catch (...) {
                return E_NOINTERFACE;
            }
            *ppv = static_cast<IDispatch*>(this);
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        return DISP_E_BADINDEX;
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
        if (!params) return E_POINTER;
        if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
        std::u16string_view member;  // the map's nodes stay where they are
        if (dispid != DISPID_VALUE) {
            auto it = names_by_id().find(dispid);
            if (it == names_by_id().end()) return DISP_E_MEMBERNOTFOUND;
            member = it->second;
        }
        if (result) VariantInit(result);
        const HRESULT hr = guarded([&] {
            // A few arguments fit without an allocation; rgvarg holds them right to left.
            std::array<Value, 4> few;
            std::vector<Value> many(params->cArgs > few.size() ? params->cArgs : 0);
            const std::span<Value> args =
                many.empty() ? std::span<Value>(few).first(params->cArgs) : std::span<Value>(many);
            for (UINT i = 0; i < params->cArgs; ++i)
                args[i] = com::to_value(params->rgvarg[params->cArgs - 1 - i]);
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
    ULONG refs_ = 1;
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
