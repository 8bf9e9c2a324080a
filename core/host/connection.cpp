#include "core/host/connection.h"

#include "core/host/mod_globals.h"

namespace tb {

namespace {
thread_local std::uint64_t g_events_received = 0;
}

void OnConnection(const ObjectRef& application, const SinkFactory& create_sink) noexcept {
    ModGlobals& globals = modGlobals();
    try {
        if (!application) fail(hr::pointer, "no Application object");
        globals.gExcelApp = application->query(iid::application);
        // The new sink reads gExcelApp, so the host is stored first. A sink stored by an earlier
        // connection is released (and so disconnected) when the new one takes its place.
        globals.gExcelEvents = create_sink ? create_sink() : nullptr;
    } catch (...) {
        // The host is not told; gExcelApp keeps what it held when the failure happened.
        try {
            globals.gExcelEvents.reset();
        } catch (...) {
        }
    }
}

void OnDisconnection() noexcept {
    ModGlobals& globals = modGlobals();
    try {
        globals.gExcelApp.reset();
    } catch (...) {
    }
    try {
        globals.gExcelEvents.reset();
    } catch (...) {
    }
}

CExcelEvents::CExcelEvents() {
    set_XLApp(modGlobals().gExcelApp);
}

CExcelEvents::~CExcelEvents() {
    try {
        set_XLApp(ObjectRef());
    } catch (...) {
    }
}

void CExcelEvents::set_XLApp(ObjectRef application) {
    if (XLApp && cookie_ != 0) {
        const std::uint32_t cookie = std::exchange(cookie_, 0);
        ObjectRef previous = std::move(XLApp);
        previous->disconnect_events(cookie);
    }
    XLApp.reset();
    if (application) {
        cookie_ = application->connect_events(iid::app_events, *this);
        XLApp = std::move(application);
    }
}

void CExcelEvents::on_event(std::u16string_view name, std::span<const Value> args) {
    ++g_events_received;
    const Value none;
    const Value& workbook = args.empty() ? none : args.front();
    if (iequals(name, u"NewWorkbook")) {
        XLApp_NewWorkbook(workbook);
    } else if (iequals(name, u"WorkbookOpen")) {
        XLApp_WorkbookOpen(workbook);
    }
    // Every other event of the Application is accepted and ignored.
}

void CExcelEvents::XLApp_NewWorkbook(const Value& /*Wb*/) {}

void CExcelEvents::XLApp_WorkbookOpen(const Value& /*Wb*/) {}

std::uint64_t CExcelEvents::events_received() {
    return g_events_received;
}

}  // namespace tb
