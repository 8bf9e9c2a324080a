// kzMain: the installer's entry routine. Reads "<ProgId> <application> <mode>" from the end of
// the argument text and runs the matching per-application routine of kzInstall once; a line that
// form does not accept may be "/uninstall <ProgId> <application>", which takes the add-in off the
// application's list without adding anything. Shows the one fixed warning box when a failure stops
// the work.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "installer/shell.h"

namespace kzMain {

// Shows a modal box with the text, title and MessageBox style and returns once it is closed.
using MessageBoxFn = std::function<void(const std::u16string& text, const std::u16string& title,
                                        std::uint32_t style)>;

// MB_ICONEXCLAMATION | MB_OK: the warning icon and a single OK button.
inline constexpr std::uint32_t kWarningBoxStyle = 0x30;

inline constexpr std::u16string_view kWarningTitle = u"TextBraid Formula";
inline constexpr std::u16string_view kWarningText =
    u"To be able to fully use this product: \r\n"
    u" After this install, open Excel, then go to the Add-Ins list. \r\n"
    u"  - If \"kzTEXTBRAID.TEXTBRAID\" is in the list, select it.\r\n"
    u"  - If not in the list, click \"Automation\", find and select \"kzTEXTBRAID.TEXTBRAID\".";

// How a run ended; the program's exit status is the number.
enum class Outcome : int {
    Completed = 0,     // a per-application routine ran to its end
    WarningShown = 1,  // a failure stopped the work and the warning box was shown
    Ignored = 2,       // the command line was unusable or named no known application: nothing done
    // The routine ran to its end, but left something for the user. 3: a version was left as it
    // was, because a value of its chain was unreadable or the entry's write was refused or did
    // not read back as written.
    LeftAlone = 3,
    StillListed = 4,              // uninstall: the add-in is still on a list (untick it in Excel)
    LeftAloneAndStillListed = 5,  // both of 3 and 4
};

// Never throws: every failure is trapped here, including one of the box itself.
Outcome Main(std::u16string_view argumentText, const kzInstall::ShellFactory& shells,
             const MessageBoxFn& messageBox) noexcept;

}  // namespace kzMain
