// An in-memory current-user registry behind the installer's shell interface, honouring the same
// contract as the platform's scripting shell: full paths from "HKEY_CURRENT_USER\", a path ending
// in "\" addressing the key itself, RegRead raising for anything absent, numbers coming back as
// numbers and multi-string and binary values as arrays, RegWrite creating missing keys. Faults on
// demand: refused writes and deletes, unreadable values, shells that cannot be created.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "installer/shell.h"

namespace kzTest {

struct Stored {
    std::u16string type;  // "REG_SZ", "REG_EXPAND_SZ", "REG_DWORD", "REG_MULTI_SZ", "REG_BINARY"
    kzInstall::RegValue data;
    friend bool operator==(const Stored&, const Stored&) = default;
};

Stored Sz(std::u16string text);
Stored Dword(std::int64_t number);
Stored MultiSz(std::vector<std::u16string> texts);
Stored Binary(std::vector<std::uint8_t> bytes);

// What the shell answers when asked for a key that exists but has no default value.
enum class KeyProbe { EmptyText, Fails, Nothing };

class FakeRegistry {
  public:
    // Paths without the root and without a closing "\", e.g. "Software\Microsoft\Office\16.0".
    void AddKey(const std::u16string& key);
    void Set(const std::u16string& key, const std::u16string& name, Stored value);

    // The whole registry as text, one line per key and per value, for comparisons.
    std::string Dump() const;
    bool HasKey(const std::u16string& key) const;

    kzInstall::ShellFactory Factory();

    // Faults, by full path as the shell receives it (upper-case does not matter).
    std::set<std::u16string> refusedWrites;
    std::set<std::u16string> refusedDeletes;
    std::set<std::u16string> unreadable;
    // Called with the 1-based number of each creation; true makes that creation fail.
    std::function<bool(int)> creationFails;
    KeyProbe keyProbe = KeyProbe::EmptyText;

    // What happened: "read|write|delete <full path>" per operation that reached the registry.
    std::vector<std::string> log;
    int creations = 0;
    int liveShells = 0;
    int mostLiveShells = 0;

  private:
    friend class FakeShell;
    struct Key {
        std::u16string path;
        std::map<std::u16string, std::pair<std::u16string, Stored>> values;  // by upper-case name
    };
    static constexpr std::u16string_view kRoot = u"HKEY_CURRENT_USER\\";

    Key* Find(const std::u16string& key);
    Key& Create(const std::u16string& key);
    // Splits a full path into the key below the root and the value name; throws for other roots.
    std::pair<std::u16string, std::u16string> Split(const std::u16string& fullPath) const;

    std::map<std::u16string, Key> keys_;  // by upper-case path
};

std::string Narrow(std::u16string_view text);

}  // namespace kzTest
