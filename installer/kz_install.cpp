#include "installer/kz_install.h"

#include <string_view>

namespace kzInstall {

namespace {

std::unique_ptr<Shell> CreateShell(const ShellFactory& shells) {
    std::unique_ptr<Shell> shell = shells ? shells() : nullptr;
    if (!shell) throw ShellFailure("the scripting shell could not be created");
    return shell;
}

std::u16string OpenValueName(int index) {
    return index == 0 ? std::u16string(u"OPEN") : u"OPEN" + DecimalText(index);
}

// A listed value is the entry when both, without their outer blanks and upper-cased, are equal.
// A value without a text form throws TypeMismatch here; the failure reaches the caller.
bool MatchesEntry(const RegValue& listed, const std::u16string& entryText) {
    return UpperCase(TrimBlanks(listed.ToText())) == UpperCase(TrimBlanks(entryText));
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

void SetupApplication(const std::u16string& appKey, const std::u16string& progId, bool allowRemove,
                      const ShellFactory& shells) {
    for (int n = kNewestVersion; n >= kOldestVersion; --n) {
        UpdateAddinEntry(progId, appKey, DecimalText(n) + u".0", allowRemove, shells);
    }
}

}  // namespace

void SetupExcel(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    SetupApplication(u"Excel", progId, allowRemove, shells);
}

void SetupWord(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    SetupApplication(u"Word", progId, allowRemove, shells);
}

void SetupAccess(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    SetupApplication(u"Access", progId, allowRemove, shells);
}

void SetupOutlook(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    SetupApplication(u"Outlook", progId, allowRemove, shells);
}

void SetupPowerPoint(const std::u16string& progId, bool allowRemove, const ShellFactory& shells) {
    SetupApplication(u"PowerPoint", progId, allowRemove, shells);
}

std::u16string OptionsKeyPath(const std::u16string& appKey, const std::u16string& version) {
    return u"HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\" + version + u"\\" + appKey +
           u"\\Options\\";
}

std::u16string EntryText(const std::u16string& progId) {
    return u"/A \"" + progId + u"\"";
}

void UpdateAddinEntry(const std::u16string& progId, const std::u16string& appKey,
                      const std::u16string& version, bool allowRemove, const ShellFactory& shells) {
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
                bool nextIsFree = false;
                if (allowRemove &&
                    ReadChainValue(keyPath, OpenValueName(index + 1), shells, nextIsFree)
                        .IsEmpty() &&
                    nextIsFree) {
                    DeleteOpenValue(keyPath, name, shells);
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
        WriteRegValue(keyPath, name, RegValue::String(entryText), u"REG_SZ", shells);
    }
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

void DeleteOpenValue(const std::u16string& keyPath, const std::u16string& valueName,
                     const ShellFactory& shells) {
    try {
        const std::unique_ptr<Shell> shell = CreateShell(shells);
        if (UpperCase(valueName).find(u"OPEN") != std::u16string::npos) {
            shell->RegDelete(keyPath + valueName);
        }
    } catch (...) {
        // A refused delete leaves the registry as it was; the run goes on.
    }
}

}  // namespace kzInstall
