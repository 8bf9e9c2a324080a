// The host object: the only way the worksheet code reaches Excel. A member is reached by its
// name (matched without regard to case) or, with an empty name, as the object's default value
// (DISPID_VALUE). Every failure is raised as tb::Failure with the HRESULT the host gave.
// Objects are reference counted; hold them in ObjectRef so every path releases them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/host/value.h"

namespace tb {

enum class InvokeKind { PropertyGet, Method };

// A 128-bit interface identifier in its standard in-memory layout.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};
    friend bool operator==(const Guid&, const Guid&) = default;
};

// Receives the events of a host event source (by member name, with the event's arguments).
class EventSink {
  public:
    virtual void on_event(std::u16string_view name, std::span<const Value> args) = 0;

  protected:
    ~EventSink() = default;
};

class HostObject {
  public:
    virtual void add_ref() noexcept = 0;
    virtual void release() noexcept = 0;

    // Reads a property or calls a method by member name; an empty name is the default value.
    // Arguments are in call order (left to right); an omitted one is Value::missing().
    virtual Value invoke(std::u16string_view member, InvokeKind kind,
                         std::span<const Value> args) = 0;

    // The object as the interface with the given identifier, or a Failure (E_NOINTERFACE).
    virtual ObjectRef query(const Guid& iid) = 0;

    // Connects a sink to the object's event source with the given identifier; returns a cookie
    // for disconnect. Fails when the object has no such source.
    virtual std::uint32_t connect_events(const Guid& source, EventSink& sink) = 0;
    virtual void disconnect_events(std::uint32_t cookie) = 0;

  protected:
    ~HostObject() = default;
};

// Convenience forms over invoke.
Value get(const ObjectRef& object, std::u16string_view member, std::span<const Value> args = {});
Value call(const ObjectRef& object, std::u16string_view member, std::span<const Value> args = {});
// The object that a property read gives; fails (type mismatch) when the answer is no object or
// an empty object reference.
ObjectRef get_object(const ObjectRef& object, std::u16string_view member,
                     std::span<const Value> args = {});

// Interface identifiers the server relies on.
namespace iid {
// Excel's _Application {000208D5-0000-0000-C000-000000000046}
inline constexpr Guid application{0x000208D5, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// Excel's _Workbook {000208DA-0000-0000-C000-000000000046}
inline constexpr Guid workbook{0x000208DA, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// Excel's Range {00020846-0000-0000-C000-000000000046}
inline constexpr Guid range{0x00020846, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// Excel's AppEvents source {00024413-0000-0000-C000-000000000046}
inline constexpr Guid app_events{0x00024413, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
}  // namespace iid

}  // namespace tb
