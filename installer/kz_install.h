// kzInstall: lists an Automation add-in in an Office application's add-in list (the registry
// values OPEN, OPEN1, OPEN2, ... under the key Options of
// HKEY_CURRENT_USER\Software\Microsoft\Office\<n>.0\<App>) for every Office version from 99.0 down
// to 10.0 whose Options key exists, or takes it off that list. All registry access goes through the
// scripting shell; no key is ever created, and nothing but the one string value of the entry (and,
// when uninstalling, the add-in's own value under Add-in Manager) is ever written or deleted.
#pragma once

#include <string>

#include "installer/reg_value.h"
#include "installer/shell.h"

namespace kzInstall {

inline constexpr int kNewestVersion = 99;
inline constexpr int kOldestVersion = 10;

// What a run left undone, gathered over every version it visited.
struct Report {
    // A value of a chain exists but could not be read, so that version was left as it was: the
    // entry was not written beside it, or not removed in front of it.
    bool unreadable = false;
    // The entry's write was refused or did not read back as written, so that version was left
    // as it was: the add-in is not listed there.
    bool unwritten = false;
    // Uninstall only: the entry is still listed in a version (in the middle of its chain, or its
    // delete was refused), or the add-in's Add-in Manager value could not be deleted.
    bool stillListed = false;

    Report& operator|=(const Report& other) {
        unreadable = unreadable || other.unreadable;
        unwritten = unwritten || other.unwritten;
        stillListed = stillListed || other.stillListed;
        return *this;
    }
};

// The per-application routines. Each visits every version, newest first, and traps nothing: a
// shell that cannot be created, and a listed value that has no text form, reach the caller.
Report SetupExcel(const std::u16string& progId, bool allowRemove, const ShellFactory& shells);
Report SetupWord(const std::u16string& progId, bool allowRemove, const ShellFactory& shells);
Report SetupAccess(const std::u16string& progId, bool allowRemove, const ShellFactory& shells);
Report SetupOutlook(const std::u16string& progId, bool allowRemove, const ShellFactory& shells);
Report SetupPowerPoint(const std::u16string& progId, bool allowRemove, const ShellFactory& shells);

// One application and one version: appends the entry at the end of the OPEN chain when it is not
// listed, and reads it back (a write that is refused or reads back otherwise is reported as
// unwritten); when it is listed as the last value of the chain and allowRemove is true, deletes it.
Report UpdateAddinEntry(const std::u16string& progId, const std::u16string& appKey,
                        const std::u16string& version, bool allowRemove,
                        const ShellFactory& shells);

// Takes the add-in off the application's list in every version and never adds anything: deletes
// the entry where it is the last of its chain (repeatedly, so a run of entries at the end all
// go), leaves an entry in the middle of a chain in place (deleting it would leave a gap; Excel's
// Add-ins dialog renumbers the chain when the user unticks it there) and deletes the add-in's own
// value under the application's Add-in Manager key, where Excel keeps an unticked add-in. A value
// of the chain without a text form is another add-in's and is passed over; one that cannot be
// read ends the walk. Only a shell that cannot be created for a version's step reaches the caller.
Report RemoveAddin(const std::u16string& progId, const std::u16string& appKey,
                   const ShellFactory& shells);

// True when reading the key itself succeeds with anything but nothing; every failure gives false.
bool RegKeyExists(const std::u16string& keyPath, Shell& shell);

// The value, or nothing when the shell cannot be created or the read fails.
RegValue ReadRegValue(const std::u16string& keyPath, const std::u16string& valueName,
                      const ShellFactory& shells);

// Writes the value; an empty type leaves the choice to the shell. Every failure is ignored here:
// the caller reads the value back to learn whether it is there.
void WriteRegValue(const std::u16string& keyPath, const std::u16string& valueName,
                   const RegValue& value, const std::u16string& valueType,
                   const ShellFactory& shells);

// Deletes the value when its name contains "OPEN" in any letter case. Every failure is ignored;
// the answer says whether the value was deleted.
bool DeleteOpenValue(const std::u16string& keyPath, const std::u16string& valueName,
                     const ShellFactory& shells);

// "HKEY_CURRENT_USER\Software\Microsoft\Office\<version>\<appKey>\Options\".
std::u16string OptionsKeyPath(const std::u16string& appKey, const std::u16string& version);

// The list entry of an Automation add-in: /A "<progId>".
std::u16string EntryText(const std::u16string& progId);

}  // namespace kzInstall
