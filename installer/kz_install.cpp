#include "installer/kz_install.h"

#include <string_view>
#include <vector>

namespace kzInstall {

namespace {

std::unique_ptr<Shell> CreateShell(const ShellFactory& shells) {
    std::unique_ptr<Shell> shell = shells ? shells() : nullptr;
    if (!shell) throw ShellFailure("the scripting shell could not be created");
    return shell;
}

// Whether the value was deleted; a refused delete leaves the registry as it was.
bool DeleteValue(const std::u16string& path, const ShellFactory& shells) {
    try {
        CreateShell(shells)->RegDelete(path);
        return true;
    } catch (...) {
        return false;
    }
}

std::u16string OpenValueName(int index) {
    return index == 0 ? std::u16string(u"OPEN") : u"OPEN" + DecimalText(index);
}

// A listed value is the entry when both, without their outer blanks and upper-cased, are equal.
// A value without a text form throws TypeMismatch here; the failure reaches the caller.
bool MatchesEntry(const RegValue& listed, const std::u16string& entryText) {
    return UpperCase(TrimBlanks(listed.ToText())) == UpperCase(TrimBlanks(entryText));
}

// The uninstall's comparison: a value without a text form is never the entry.
bool IsEntry(const RegValue& listed, const std::u16string& entryText) {
    return listed.kind() != RegValue::Kind::Array && MatchesEntry(listed, entryText);
}

// The platform's "not found" answer, as a Win32 code or as its HRESULT (0x80070002).
bool IsNotFound(const ShellFailure& failure) {
    return failure.code() == 2 || static_cast<std::uint32_t>(failure.code()) == 0x80070002u;
}

// ReadRegValue for the chain walk: the same answer, and also whether the name holds nothing at
// all. A value that exists but cannot be read, or a shell that cannot be asked, is not absent.
RegValue ReadChainValue(const std::u16string& keyPath, const std::u16string& valueName,
                        const ShellFactory& shells, bool& absent) {
    absent = false;
    try {
        const std::unique_ptr<Shell> shell = CreateShell(shells);
        return shell->RegRead(keyPath + valueName);
    } catch (const ShellFailure& failure) {
        absent = IsNotFound(failure);
        return {};
    } catch (...) {
        return {};
    }
}

Report SetupApplication(const std::u16string& appKey, const std::u16string& progId,
                        bool allowRemove, const ShellFactory& shells) {
    Report report;
    for (int n = kNewestVersion; n >= kOldestVersion; --n) {
        report |= UpdateAddinEntry(progId, appKey, DecimalText(n) + u".0", allowRemove, shells);
    }
    return report;
}

// The uninstall for one version; see RemoveAddin.
Report RemoveAddinEntry(const std::u16string& progId, const std::u16string& appKey,
                        const std::u16string& version, const ShellFactory& shells) {
    Report report;
    const std::unique_ptr<Shell> shell = CreateShell(shells);
    const std::u16string keyPath = OptionsKeyPath(appKey, version);
    const std::u16string entryText = EntryText(progId);
    if (RegKeyExists(keyPath, *shell)) {
        // The walk ends at the first free name, or at a value that cannot be read: the chain
        // goes on behind that one, so every entry found before it is in the middle.
        std::vector<int> listedAt;
        int end = 0;
        for (;; ++end) {
            bool free = false;
            const RegValue value = ReadChainValue(keyPath, OpenValueName(end), shells, free);
            if (free) break;
            if (value.IsEmpty()) {
                report.unreadable = true;
                break;
            }
            if (IsEntry(value, entryText)) listedAt.push_back(end);
        }
        // Only the last value of the chain is deleted, so the chain never gets a gap.
        while (!report.unreadable && !listedAt.empty() && listedAt.back() == end - 1 &&
               DeleteOpenValue(keyPath, OpenValueName(end - 1), shells)) {
            listedAt.pop_back();
            --end;
        }
        report.stillListed = !listedAt.empty();
    }
    // Excel keeps an unticked add-in as a value named by its ProgID under Add-in Manager.
    const std::u16string managerPath = u"HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\" +
                                       version + u"\\" + appKey + u"\\Add-in Manager\\";
    bool free = false;
    ReadChainValue(managerPath, progId, shells, free);
    if (!free && !DeleteValue(managerPath + progId, shells)) report.stillListed = true;
    return report;
}

}  // namespace

Report SetupExcel(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    return SetupApplication(u"Excel", progId, allowRemove, shells);
}

Report SetupWord(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    return SetupApplication(u"Word", progId, allowRemove, shells);
}

Report SetupAccess(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    return SetupApplication(u"Access", progId, allowRemove, shells);
}

Report SetupOutlook(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    return SetupApplication(u"Outlook", progId, allowRemove, shells);
}

Report SetupPowerPoint(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    return SetupApplication(u"PowerPoint", progId, allowRemove, shells);
}

Report RemoveAddin(const std::u16string& progId, const std::u16string& appKey,
                   const ShellFactory& shells) {
    Report report;
    for (int n = kNewestVersion; n >= kOldestVersion; --n) {
        report |= RemoveAddinEntry(progId, appKey, DecimalText(n) + u".0", shells);
    }
    return report;
}

std::u16string OptionsKeyPath(const std::u16string& appKey, const std::u16string& version) {
    return u"HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\" + version + u"\\" + appKey +
           u"\\Options\\";
}

std::u16string EntryText(const std::u16string& progId) {
    return u"/A \"" + progId + u"\"";
}

Report UpdateAddinEntry(const std::u16string& progId, const std::u16string& appKey,
                        const std::u16string& version, bool allowRemove,
                        const ShellFactory& shells) {
    Report report;
    const std::unique_ptr<Shell> shell = CreateShell(shells);
    const std::u16string keyPath = OptionsKeyPath(appKey, version);
    const std::u16string entryText = EntryText(progId);

    bool write = false;
    bool nameIsFree = false;
    std::u16string name;
    if (RegKeyExists(keyPath, *shell)) {
        write = true;
        int index = 0;
        name = OpenValueName(index);
        RegValue current = ReadChainValue(keyPath, name, shells, nameIsFree);
        while (!current.IsEmpty()) {
            if (MatchesEntry(current, entryText)) {
                write = false;
                // Only the last value of the chain is deleted, so the chain never gets a gap:
                // a next value that exists but cannot be read keeps the entry in place.
                if (allowRemove) {
                    bool nextIsFree = false;
                    const bool nextIsEmpty =
                        ReadChainValue(keyPath, OpenValueName(index + 1), shells, nextIsFree)
                            .IsEmpty();
                    if (nextIsEmpty && nextIsFree) {
                        DeleteOpenValue(keyPath, name, shells);
                    } else if (nextIsEmpty) {
                        report.unreadable = true;
                    }
                }
                break;
            }
            write = true;
            ++index;
            name = OpenValueName(index);
            current = ReadChainValue(keyPath, name, shells, nameIsFree);
        }
    }
    // The current name is the first of the chain without a value: the entry goes to its end.
    // A value that is there but could not be read also ends the chain; it belongs to someone
    // else and is never written over, so then this version is left as it is.
    if (write && nameIsFree) {
        const RegValue entry = RegValue::String(entryText);
        WriteRegValue(keyPath, name, entry, u"REG_SZ", shells);
        // A refused write, or one that does not read back as written, is not a listing: the
        // name was free, so whatever landed there goes again and the version stays as it was.
        if (ReadRegValue(keyPath, name, shells) != entry) {
            DeleteOpenValue(keyPath, name, shells);
            report.unwritten = true;
        }
    } else if (write) {
        report.unreadable = true;
    }
    return report;
}

bool RegKeyExists(const std::u16string& keyPath, Shell& shell) {
    try {
        return !shell.RegRead(keyPath).IsEmpty();
    } catch (...) {
        return false;
    }
}

RegValue ReadRegValue(const std::u16string& keyPath, const std::u16string& valueName,
                      const ShellFactory& shells) {
    try {
        const std::unique_ptr<Shell> shell = CreateShell(shells);
        return shell->RegRead(keyPath + valueName);
    } catch (...) {
        return {};
    }
}

void WriteRegValue(const std::u16string& keyPath, const std::u16string& valueName,
                   const RegValue& value, const std::u16string& valueType,
                   const ShellFactory& shells) {
    try {
        const std::unique_ptr<Shell> shell = CreateShell(shells);
        if (valueType.empty()) {
            shell->RegWrite(keyPath + valueName, value, std::nullopt);
        } else {
            shell->RegWrite(keyPath + valueName, value, valueType);
        }
    } catch (...) {
        // A refused write leaves the registry as it was; the run goes on.
    }
}

bool DeleteOpenValue(const std::u16string& keyPath, const std::u16string& valueName,
                     const ShellFactory& shells) {
    return UpperCase(valueName).find(u"OPEN") != std::u16string::npos &&
           DeleteValue(keyPath + valueName, shells);
}

}  // namespace kzInstall
