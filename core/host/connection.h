// The add-in connection: stores the host's Application object in gExcelApp when the COM add-in
// is connected, keeps one event sink subscribed to the Application's events, and drops both on
// disconnection. Portable: the COM classes forward to these routines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "core/host/host_object.h"

namespace tb {

// Creates the event sink that gExcelEvents will hold (on Windows, a CExcelEvents COM object).
// May fail by throwing.
using SinkFactory = std::function<std::shared_ptr<void>()>;

// Never throws; always succeeds towards the host. On a failure of the interface query the
// previous gExcelApp stays; on a failure of the sink, gExcelApp holds the new host and no sink
// exists.
void OnConnection(const ObjectRef& application, const SinkFactory& create_sink) noexcept;
// Empties gExcelApp, then gExcelEvents; ignores every failure.
void OnDisconnection() noexcept;

// The event sink's logic: subscribes XLApp to the Application's AppEvents on construction,
// unsubscribes on destruction, and accepts and ignores every event.
class CExcelEvents final : public EventSink {
  public:
    // Reads gExcelApp; throws when the subscription fails.
    CExcelEvents();
    ~CExcelEvents();
    CExcelEvents(const CExcelEvents&) = delete;
    CExcelEvents& operator=(const CExcelEvents&) = delete;

    void on_event(std::u16string_view name, std::span<const Value> args) override;

    // Events this thread's sinks have received (for tests: events arrive and change nothing).
    static std::uint64_t events_received();

  private:
    void XLApp_NewWorkbook(const Value& Wb);
    void XLApp_WorkbookOpen(const Value& Wb);
    // Sets XLApp, disconnecting from the source it held before and connecting to the new one.
    void set_XLApp(ObjectRef application);

    ObjectRef XLApp;
    std::uint32_t cookie_ = 0;
};

}  // namespace tb
