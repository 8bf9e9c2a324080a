// The server's shared module data, held per thread: the host's Application object and the
// reference that keeps the one event sink alive. A thread sees only what the add-in connection
// stored on that same thread.
#pragma once

#include <memory>

#include "core/host/value.h"

namespace tb {

struct ModGlobals {
    // Excel's _Application; empty until the add-in is connected.
    ObjectRef gExcelApp;
    // Keeps the event sink alive; its deleter gives the sink back (on Windows, a COM Release).
    std::shared_ptr<void> gExcelEvents;
};

// This thread's copy of the module data.
ModGlobals& modGlobals();

}  // namespace tb
