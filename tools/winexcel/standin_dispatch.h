// The stand-in Excel over COM: every stand-in host object served as an IDispatch (members by
// name, the default value as DISPID_VALUE, failures as DISP_E_EXCEPTION with the HRESULT in
// EXCEPINFO), the Application also answering _Application's IID and, through
// IConnectionPointContainer, the AppEvents source. So the DLL meets a host that behaves like
// Excel's object model over COM.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <cstdint>

#include "core/host/host_object.h"

namespace tb::wine {

// Makes the bridge of this process serve stand-in objects through dispatch_for and hand the
// original object back when one of them comes back in.
void serve_standin_over_com();

// A new IDispatch (one count) over a stand-in host object.
IDispatch* dispatch_for(const ObjectRef& object);

// IDispatch wrappers alive now.
std::int64_t live_dispatch_objects();
// Events delivered to advised sinks that answered S_OK.
std::uint64_t events_delivered();

}  // namespace tb::wine
