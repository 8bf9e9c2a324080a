// The bridge between Automation's VARIANT / SAFEARRAY / BSTR / IDispatch and the portable tagged
// value and host objects, in both directions, as Excel and other Automation clients send them.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/host/host_object.h"
#include "server/com/com_util.h"

namespace tb::com {

// VARIANT -> Value. Follows VT_BYREF; a null BSTR is the empty text; VT_DISPATCH and VT_UNKNOWN
// (asked for IDispatch) become host objects (a null pointer an empty object reference); arrays
// of any element type, dimension count and lower bounds become Arrays, nested ones included.
// Fails (DISP_E_TYPEMISMATCH / DISP_E_BADVARTYPE) on what has no tagged-value form.
Value to_value(const VARIANT& v);
// The elements of a one-dimensional SAFEARRAY, in index order; a null array gives none.
std::vector<Value> to_values(SAFEARRAY* array);

// Value -> VARIANT; out must be empty. Arrays become SAFEARRAYs of VARIANT with the same bounds.
void to_variant(const Value& value, VARIANT* out);
unique_variant to_variant(const Value& value);

// How objects cross the bridge. By default an IDispatch becomes a host object that calls it by
// member name, and a host object goes back out as the IDispatch it wraps. A process that serves
// its own host objects over COM (the stand-in Excel in tests) installs a codec so that its
// objects round-trip to themselves instead of being wrapped twice.
struct ObjectCodec {
    // The host object behind an IDispatch that the process served itself, or empty.
    ObjectRef (*unwrap)(IDispatch* dispatch) = nullptr;
    // A new IDispatch (one count) for a host object that wraps no IDispatch.
    IDispatch* (*wrap)(const ObjectRef& object) = nullptr;
};
void set_object_codec(const ObjectCodec& codec);

// A host object over an IDispatch (a null pointer gives the empty reference).
ObjectRef host_object(IDispatch* dispatch);
// Frees the memory kept for reuse by the wrappers of host objects (the module is unloaded).
void release_cached_blocks() noexcept;
// The IDispatch of a host object, with a count for the caller; null for the empty reference.
IDispatch* dispatch_of(const ObjectRef& object);

GUID to_guid(const Guid& g);
Guid from_guid(const GUID& g);

// Dispatch identifiers of the AppEvents source's events, by name, as Excel publishes them.
DISPID app_event_dispid(std::u16string_view name);
std::u16string app_event_name(DISPID dispid);

std::u16string_view view(BSTR b);
const wchar_t* wide(const std::u16string& s);

}  // namespace tb::com
