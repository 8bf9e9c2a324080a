// What the stand-in Excel application does with add-ins, as Excel does it at start-up: it reads
// the Automation add-ins from the OPEN chain of its Options key and the COM add-ins from its
// Addins key in the current user's registry, creates them by ProgID, connects the COM add-ins
// through IDTExtensibility2 with its Application object, resolves worksheet functions it does
// not know on the Automation add-ins, and disconnects and releases everything at shutdown.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/host/value.h"
#include "server/com/com_util.h"
#include "server/com/textbraid_h.h"  // IDTExtensibility2

namespace tb::winexcel {

// The ProgID of an OPEN value that lists an Automation add-in (`/A "ProgID"`, the switch in any
// letter case, blanks around the parts, the quotes optional), or nothing for any other entry
// (a workbook add-in's path, an empty or malformed value).
std::optional<std::u16string> automation_progid(std::u16string_view open_value);

// What the registry asks the application to load.
struct AddinListing {
    // The Office version whose Excel\Options key was read ("16.0"); empty when none has one.
    std::wstring version;
    // ProgIDs listed with /A in OPEN, OPEN1, … up to the first missing name, in chain order,
    // each once (compared without letter case).
    std::vector<std::wstring> automation;
    // Subkeys of Software\Microsoft\Office\Excel\Addins whose DWORD LoadBehavior is 3.
    std::vector<std::wstring> com;
};

// Reads HKEY_CURRENT_USER: the newest Software\Microsoft\Office\<n.m> that has an Excel\Options
// key (compared as numbers), and the COM add-in entries.
AddinListing read_listing();

// One line per step for tests (enabled by the XLSTANDIN_TRACE environment variable naming a
// file); does nothing otherwise.
void trace(const std::string& line);

class AddinHost {
  public:
    // application: the Application object handed to the COM add-ins (the host keeps a count).
    explicit AddinHost(IDispatch* application, std::ostream& warnings);
    ~AddinHost();
    AddinHost(const AddinHost&) = delete;
    AddinHost& operator=(const AddinHost&) = delete;

    // Creates and connects the COM add-ins (OnConnection with ext_cm_Startup); a failing one is
    // reported on the warnings stream and skipped.
    void connect_com_addins(std::span<const std::wstring> progids);
    // Creates the Automation add-ins (asked for IDispatch); a failing one is reported and skipped.
    void create_automation_addins(std::span<const std::wstring> progids);
    // OnStartupComplete for each connected COM add-in.
    void startup_complete();

    // A worksheet function that is not built in: the first Automation add-in, in load order,
    // whose GetIDsOfNames knows the name, invoked as Excel invokes it; a failing Invoke gives
    // #VALUE!, a returned Range the stand-in's own Range object. False when none knows it.
    bool resolve(std::u16string_view name, std::span<const Value> args, Value& result);

    // OnBeginShutdown and OnDisconnection(ext_dm_HostShutdown) for each COM add-in, then every
    // add-in object and the Application are released.
    void shutdown();

    // The in-process servers of the add-ins that were loaded, asked DllCanUnloadNow after
    // shutdown: the ProgIDs whose server still holds objects or locks.
    std::vector<std::wstring> servers_still_in_use() const;

  private:
    // Creates the add-in by ProgID as the interface and records its server; the failure's code.
    HRESULT create(const std::wstring& progid, REFIID iid, void** object);

    struct ComAddin {
        std::wstring progid;
        com::com_ptr<IDTExtensibility2> object;
    };
    struct AutomationAddin {
        std::wstring progid;
        com::com_ptr<IDispatch> object;
    };

    com::com_ptr<IDispatch> application_;
    std::ostream& warnings_;
    std::vector<ComAddin> com_;
    std::vector<AutomationAddin> automation_;
    std::vector<std::wstring> server_paths_;  // InprocServer32 of every add-in created
    std::vector<std::wstring> server_progids_;
    bool shut_down_ = false;
};

}  // namespace tb::winexcel
