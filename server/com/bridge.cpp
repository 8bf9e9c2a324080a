#include "server/com/bridge.h"

#include <ocidl.h>
#include <olectl.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "win/dispatch.h"

namespace tb::com {

namespace {

ObjectCodec g_codec;

[[noreturn]] void mismatch(const char* what) {
    fail(DISP_E_TYPEMISMATCH, what);
}

// Receives the events of one connection point and hands them to a portable sink. Detached when
// the connection ends, so an event that arrives late reaches nobody.
class EventForwarder final : public UntypedDispatch<EventForwarder, IDispatch> {
  public:
    EventForwarder(const GUID& source, EventSink& sink) : source_(source), sink_(&sink) {}
    void detach() { sink_ = nullptr; }

    bool answers(REFIID riid) const {
        return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
               IsEqualIID(riid, source_);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        if (params) {
            if (const HRESULT hr = win::ReceivedArgs::check(params); FAILED(hr)) return hr;
        }
        return guarded([&] {
            if (result) VariantInit(result);
            if (!sink_) return S_OK;
            const win::ReceivedArgs received(params);
            std::vector<Value> args;
            for (std::size_t i = 0; i < received.size(); ++i)
                args.push_back(to_value(received[i]));
            sink_->on_event(app_event_name(dispid), args);
            return S_OK;
        });
    }

  private:
    friend ComObject;
    ~EventForwarder() = default;
    GUID source_;
    EventSink* sink_;
};

// A host object over an IDispatch: members by name (GetIDsOfNames with locale 1033), the
// default value as DISPID_VALUE, failures and EXCEPINFO raised as tb::Failure.
class DispatchHost final : public HostObject, public Recycled<DispatchHost> {
  public:
    // Dispatch identifiers by member name. Identifiers belong to an interface, so objects of
    // one interface may share a table.
    using Dispids = std::vector<std::pair<std::u16string, DISPID>>;

    explicit DispatchHost(com_ptr<IDispatch> dispatch) : dispatch_(std::move(dispatch)) {}

    IDispatch* dispatch() const { return dispatch_.get(); }

    void add_ref() noexcept override { ++refs_; }
    void release() noexcept override {
        if (--refs_ == 0) delete this;
    }

    Value invoke(std::u16string_view member, InvokeKind kind,
                 std::span<const Value> args) override {
        const DISPID dispid = member.empty() ? DISPID_VALUE : dispid_of(member);
        win::CallArgs argv(args.size());
        for (std::size_t i = 0; i < args.size(); ++i)
            to_variant(args[i], argv[i]);
        unique_variant result;
        const WORD flags = kind == InvokeKind::Method ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
        const HRESULT hr = win::call(dispatch_.get(), dispid, flags, argv, result.get(), 1033);
        check(hr, "Invoke");
        // Cells, of a range, a sheet or the application, is declared to give a Range: the cells
        // of one object share their identifiers, so a walk asks for a cell's members once, not
        // once a cell.
        Value answer = to_value(*result);
        if (answer.is_object() && iequals(member, u"Cells")) {
            if (auto* cell = dynamic_cast<DispatchHost*>(answer.object_value().get())) {
                if (!cell_dispids_) cell_dispids_ = std::make_shared<Dispids>();
                cell->dispids_ = cell_dispids_;
            }
        }
        return answer;
    }

    // A member's dispatch identifier, asked once per name and table.
    DISPID dispid_of(std::u16string_view member) {
        if (!dispids_) dispids_ = std::make_shared<Dispids>();
        for (const auto& [name, id] : *dispids_)
            if (name == member) return id;
        std::u16string name(member);
        auto* names = reinterpret_cast<LPOLESTR>(name.data());
        DISPID dispid = DISPID_UNKNOWN;
        check(dispatch_->GetIDsOfNames(IID_NULL, &names, 1, 1033, &dispid), "GetIDsOfNames");
        dispids_->emplace_back(std::move(name), dispid);
        return dispid;
    }

    ObjectRef query(const Guid& iid) override {
        const GUID wanted = to_guid(iid);
        com_ptr<IUnknown> answer;
        check(dispatch_->QueryInterface(wanted, answer.put_void()), "QueryInterface");
        // The interfaces asked for here are dual, so the answer is itself an IDispatch.
        return ObjectRef::adopt(new DispatchHost(
            com_ptr<IDispatch>::adopt(reinterpret_cast<IDispatch*>(answer.detach()))));
    }

    std::uint32_t connect_events(const Guid& source, EventSink& sink) override {
        const GUID source_iid = to_guid(source);
        auto container = dispatch_.query<IConnectionPointContainer>(IID_IConnectionPointContainer);
        if (!container) fail(E_NOINTERFACE, "no connection points");
        com_ptr<IConnectionPoint> point;
        check(container->FindConnectionPoint(source_iid, point.put()), "FindConnectionPoint");
        auto forwarder = com_ptr<EventForwarder>::adopt(new EventForwarder(source_iid, sink));
        DWORD cookie = 0;
        HRESULT hr = point->Advise(forwarder.get(), &cookie);
        if (FAILED(hr)) forwarder->detach();
        check(hr, "Advise");
        connections_[cookie] = Connection{std::move(point), std::move(forwarder)};
        return cookie;
    }

    void disconnect_events(std::uint32_t cookie) override {
        auto it = connections_.find(cookie);
        if (it == connections_.end()) fail(CONNECT_E_NOCONNECTION, "no such connection");
        Connection connection = std::move(it->second);
        connections_.erase(it);
        connection.forwarder->detach();
        check(connection.point->Unadvise(cookie), "Unadvise");
    }

  private:
    struct Connection {
        com_ptr<IConnectionPoint> point;
        com_ptr<EventForwarder> forwarder;
    };

    ~DispatchHost() {
        for (auto& [cookie, connection] : connections_) {
            connection.forwarder->detach();
            connection.point->Unadvise(cookie);
        }
    }

    com_ptr<IDispatch> dispatch_;
    std::map<DWORD, Connection> connections_;
    std::shared_ptr<Dispids> dispids_;       // made on the first name asked
    std::shared_ptr<Dispids> cell_dispids_;  // the table of the ranges Cells gives
    ULONG refs_ = 1;
};

// The element at the given indexes of a SAFEARRAY of any automation element type, as a VARIANT.
unique_variant element(SAFEARRAY* array, VARTYPE vt, LONG* indexes) {
    unique_variant v;
    VARIANT* out = v.get();
    if (vt == VT_VARIANT) {
        check(SafeArrayGetElement(array, indexes, out), "SafeArrayGetElement");
        return v;
    }
    if (vt == VT_DECIMAL) {
        DECIMAL d{};
        check(SafeArrayGetElement(array, indexes, &d), "SafeArrayGetElement");
        out->decVal = d;
        out->vt = VT_DECIMAL;
        return v;
    }
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
        case VT_ERROR:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
            break;
        default:
            fail(DISP_E_BADVARTYPE, "unsupported array element type");
    }
    // Every other element fits the VARIANT's value union; BSTRs and interfaces arrive as
    // copies with their own count, which the VARIANT then owns.
    check(SafeArrayGetElement(array, indexes, &out->llVal), "SafeArrayGetElement");
    out->vt = vt;
    return v;
}

Value array_value(SAFEARRAY* array) {
    if (!array) mismatch("null array");
    const UINT dims = SafeArrayGetDim(array);
    if (dims == 0) mismatch("array without dimensions");
    VARTYPE vt = VT_EMPTY;
    check(SafeArrayGetVartype(array, &vt), "SafeArrayGetVartype");
    std::vector<Array::Bound> bounds(dims);
    std::size_t total = 1;
    for (UINT d = 0; d < dims; ++d) {
        LONG lower = 0, upper = 0;
        check(SafeArrayGetLBound(array, d + 1, &lower), "SafeArrayGetLBound");
        check(SafeArrayGetUBound(array, d + 1, &upper), "SafeArrayGetUBound");
        const auto count = upper < lower ? 0u : static_cast<std::uint32_t>(upper - lower + 1);
        bounds[d] = Array::Bound{lower, count};
        total *= count;
    }
    std::vector<Value> elements;
    elements.reserve(total);
    // Row-major walk: the last index varies fastest.
    std::vector<LONG> indexes(dims);
    for (UINT d = 0; d < dims; ++d)
        indexes[d] = bounds[d].lower;
    for (std::size_t n = 0; n < total; ++n) {
        elements.push_back(to_value(*element(array, vt, indexes.data())));
        for (UINT d = dims; d > 0; --d) {
            LONG& index = indexes[d - 1];
            if (++index < bounds[d - 1].lower + static_cast<LONG>(bounds[d - 1].count)) break;
            index = bounds[d - 1].lower;
        }
    }
    return Value::array(Array(std::move(bounds), std::move(elements)));
}

Value object_value(IDispatch* dispatch) {
    return Value::object(host_object(dispatch));
}

// A scalar VARIANT of the given type whose value lies at data.
Value scalar_value(VARTYPE vt, const void* data) {
    auto read = [data]<class T>(T*) {
        T t;
        std::memcpy(&t, data, sizeof t);
        return t;
    };
    switch (vt) {
        case VT_EMPTY:
            return Value();
        case VT_NULL:
            return Value::null();
        case VT_ERROR:
            return Value::error(read(static_cast<SCODE*>(nullptr)));
        case VT_BOOL:
            return Value::boolean(read(static_cast<VARIANT_BOOL*>(nullptr)) != 0);
        case VT_UI1:
            return Value::byte(read(static_cast<BYTE*>(nullptr)));
        case VT_I2:
            return Value::integer(read(static_cast<SHORT*>(nullptr)));
        case VT_I4:
        case VT_INT:
            return Value::long_(read(static_cast<LONG*>(nullptr)));
        case VT_R4:
            return Value::single(read(static_cast<FLOAT*>(nullptr)));
        case VT_R8:
            return Value::number(read(static_cast<DOUBLE*>(nullptr)));
        case VT_DATE:
            return Value::date(read(static_cast<DATE*>(nullptr)));
        case VT_CY:
            return Value::currency(read(static_cast<CY*>(nullptr)).int64);
        case VT_I1:
            return Value::integer(read(static_cast<CHAR*>(nullptr)));
        case VT_UI2:
            return Value::long_(read(static_cast<USHORT*>(nullptr)));
        case VT_UI4:
        case VT_UINT:
            return Value::number(read(static_cast<ULONG*>(nullptr)));
        case VT_I8:
            return Value::number(static_cast<double>(read(static_cast<LONGLONG*>(nullptr))));
        case VT_UI8:
            return Value::number(static_cast<double>(read(static_cast<ULONGLONG*>(nullptr))));
        case VT_DECIMAL: {
            const DECIMAL d = read(static_cast<DECIMAL*>(nullptr));
            return Value::decimal(Decimal{d.scale, (d.sign & DECIMAL_NEG) != 0, d.Hi32, d.Lo64});
        }
        case VT_BSTR: {
            const BSTR b = read(static_cast<BSTR*>(nullptr));
            return Value::string(view(b));
        }
        case VT_DISPATCH:
            return object_value(read(static_cast<IDispatch**>(nullptr)));
        case VT_UNKNOWN: {
            IUnknown* unknown = read(static_cast<IUnknown**>(nullptr));
            if (!unknown) return Value::object(ObjectRef());
            com_ptr<IDispatch> dispatch;
            if (FAILED(unknown->QueryInterface(IID_IDispatch, dispatch.put_void())))
                mismatch("object without IDispatch");
            return object_value(dispatch.get());
        }
        default:
            fail(DISP_E_BADVARTYPE, "unsupported VARIANT type");
    }
}

}  // namespace

std::u16string_view view(BSTR b) {
    if (!b) return {};
    return {reinterpret_cast<const char16_t*>(b), SysStringLen(b)};
}

const wchar_t* wide(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

Value to_value(const VARIANT& v) {
    const VARTYPE vt = v.vt;
    if (vt & VT_ARRAY) {
        SAFEARRAY* array = (vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
        return array_value(array);
    }
    if (vt & VT_BYREF) {
        if (!v.byref) fail(E_POINTER, "null by-reference pointer");
        if (vt == (VT_BYREF | VT_VARIANT)) return to_value(*v.pvarVal);
        return scalar_value(static_cast<VARTYPE>(vt & VT_TYPEMASK), v.byref);
    }
    if (vt == VT_DECIMAL) return scalar_value(vt, &v.decVal);
    return scalar_value(vt, &v.llVal);
}

std::vector<Value> to_values(SAFEARRAY* array) {
    std::vector<Value> values;
    if (!array) return values;
    if (SafeArrayGetDim(array) != 1) mismatch("argument list is not one-dimensional");
    Value all = array_value(array);
    for (const Value& element : all.array_value().elements())
        values.push_back(element);
    return values;
}

void to_variant(const Value& value, VARIANT* out) {
    VariantInit(out);
    switch (value.kind()) {
        case Kind::Empty:
            return;
        case Kind::Null:
            out->vt = VT_NULL;
            return;
        case Kind::Error:
            out->scode = value.error_code();
            out->vt = VT_ERROR;
            return;
        case Kind::Boolean:
            out->boolVal = value.boolean_value() ? VARIANT_TRUE : VARIANT_FALSE;
            out->vt = VT_BOOL;
            return;
        case Kind::Byte:
            out->bVal = static_cast<BYTE>(value.to_number());
            out->vt = VT_UI1;
            return;
        case Kind::Integer:
            out->iVal = static_cast<SHORT>(value.to_number());
            out->vt = VT_I2;
            return;
        case Kind::Long:
            out->lVal = static_cast<LONG>(value.to_number());
            out->vt = VT_I4;
            return;
        case Kind::Single:
            out->fltVal = static_cast<FLOAT>(value.to_number());
            out->vt = VT_R4;
            return;
        case Kind::Double:
            out->dblVal = value.to_number();
            out->vt = VT_R8;
            return;
        case Kind::Currency:
            out->cyVal.int64 = value.currency_value();
            out->vt = VT_CY;
            return;
        case Kind::Decimal: {
            const Decimal& d = value.decimal_value();
            DECIMAL dec{};
            dec.scale = d.scale;
            dec.sign = d.negative ? DECIMAL_NEG : 0;
            dec.Hi32 = d.hi;
            dec.Lo64 = d.lo;
            out->decVal = dec;
            out->vt = VT_DECIMAL;
            return;
        }
        case Kind::Date:
            out->date = value.date_value();
            out->vt = VT_DATE;
            return;
        case Kind::String:
            out->bstrVal = alloc_bstr(value.string_value());
            out->vt = VT_BSTR;
            return;
        case Kind::Object:
            out->pdispVal = dispatch_of(value.object_value());
            out->vt = VT_DISPATCH;
            return;
        case Kind::Array: {
            const Array& array = value.array_value();
            std::vector<SAFEARRAYBOUND> bounds;
            for (const auto& b : array.bounds())
                bounds.push_back(SAFEARRAYBOUND{b.count, b.lower});
            unique_safearray sa(
                SafeArrayCreate(VT_VARIANT, static_cast<UINT>(bounds.size()), bounds.data()));
            if (!sa.get()) fail(E_OUTOFMEMORY, "SafeArrayCreate");
            const std::size_t dims = bounds.size();
            std::vector<LONG> indexes(dims);
            for (std::size_t d = 0; d < dims; ++d)
                indexes[d] = bounds[d].lLbound;
            for (const Value& element : array.elements()) {
                unique_variant item = to_variant(element);
                check(SafeArrayPutElement(sa.get(), indexes.data(), item.get()),
                      "SafeArrayPutElement");
                for (std::size_t d = dims; d > 0; --d) {
                    LONG& index = indexes[d - 1];
                    if (++index <
                        bounds[d - 1].lLbound + static_cast<LONG>(bounds[d - 1].cElements))
                        break;
                    index = bounds[d - 1].lLbound;
                }
            }
            out->parray = sa.release();
            out->vt = VT_ARRAY | VT_VARIANT;
            return;
        }
    }
    mismatch("unknown value kind");
}

unique_variant to_variant(const Value& value) {
    unique_variant v;
    to_variant(value, v.get());
    return v;
}

void set_object_codec(const ObjectCodec& codec) {
    g_codec = codec;
}

void release_cached_blocks() noexcept {
    DispatchHost::cache().close();
}

ObjectRef host_object(IDispatch* dispatch) {
    if (!dispatch) return ObjectRef();
    if (g_codec.unwrap) {
        if (ObjectRef own = g_codec.unwrap(dispatch)) return own;
    }
    return ObjectRef::adopt(new DispatchHost(com_ptr<IDispatch>::share(dispatch)));
}

IDispatch* dispatch_of(const ObjectRef& object) {
    if (!object) return nullptr;
    if (auto* host = dynamic_cast<DispatchHost*>(object.get())) {
        host->dispatch()->AddRef();
        return host->dispatch();
    }
    if (g_codec.wrap) return g_codec.wrap(object);
    mismatch("host object without IDispatch");
}

GUID to_guid(const Guid& g) {
    GUID r{g.data1, g.data2, g.data3, {}};
    std::memcpy(r.Data4, g.data4.data(), 8);
    return r;
}

Guid from_guid(const GUID& g) {
    Guid r{g.Data1, g.Data2, g.Data3, {}};
    std::memcpy(r.data4.data(), g.Data4, 8);
    return r;
}

namespace {
struct AppEvent {
    DISPID dispid;
    const char16_t* name;
};
constexpr AppEvent kAppEvents[] = {
    {0x61d, u"NewWorkbook"},
    {0x616, u"SheetSelectionChange"},
    {0x617, u"SheetBeforeDoubleClick"},
    {0x618, u"SheetBeforeRightClick"},
    {0x619, u"SheetActivate"},
    {0x61a, u"SheetDeactivate"},
    {0x61b, u"SheetCalculate"},
    {0x61c, u"SheetChange"},
    {0x61f, u"WorkbookOpen"},
};
}  // namespace

DISPID app_event_dispid(std::u16string_view name) {
    for (const auto& e : kAppEvents)
        if (iequals(name, e.name)) return e.dispid;
    return DISPID_UNKNOWN;
}

std::u16string app_event_name(DISPID dispid) {
    for (const auto& e : kAppEvents)
        if (e.dispid == dispid) return e.name;
    return u"#" + utf16(std::to_string(dispid));
}

void check(HRESULT hr, const char* what) {
    if (FAILED(hr)) fail(hr, what);
}

BSTR alloc_bstr(std::u16string_view text) {
    BSTR b = win::bstr_copy(text).release();
    if (!b) fail(E_OUTOFMEMORY, "SysAllocStringLen");
    return b;
}

}  // namespace tb::com
