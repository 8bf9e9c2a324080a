#include "core/host/mod_globals.h"

namespace tb {

ModGlobals& modGlobals() {
    // One copy per thread: the server is apartment-threaded and takes no locks, so a thread
    // only ever sees the Application its own add-in connection stored.
    thread_local ModGlobals globals;
    return globals;
}

}  // namespace tb
