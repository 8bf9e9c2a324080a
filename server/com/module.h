// Module-wide state of the in-process server: its own handle and path, the counts that decide
// DllCanUnloadNow, and the type information the COM classes answer IDispatch with.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <string>

#include "server/com/com_util.h"

namespace tb::com {

HMODULE module_handle();
// The DLL's own path, as the registration records it.
std::wstring module_path();

// Live objects (class factories, COM objects, the event sink) and IClassFactory::LockServer locks.
void object_created();
void object_destroyed();
void lock_server(bool lock);
bool can_unload();

// The type information of an interface of the embedded type library, loaded once per module.
com_ptr<ITypeInfo> type_info(REFIID iid);
// Gives back the type library and type information loaded (the module may be unloaded).
void release_type_information() noexcept;

// Counts one live object for as long as it exists; COM classes embed it.
struct ObjectCount {
    ObjectCount() { object_created(); }
    ~ObjectCount() { object_destroyed(); }
    ObjectCount(const ObjectCount&) = delete;
    ObjectCount& operator=(const ObjectCount&) = delete;
};

// Creates an object of one of the three classes as the requested interface.
HRESULT create_connect_excel(REFIID iid, void** ppv);
HRESULT create_textbraid(REFIID iid, void** ppv);
HRESULT create_excel_events(REFIID iid, void** ppv);

}  // namespace tb::com
