// An in-memory current-user registry behind the installer's shell interface, honouring the
// contract of the platform's scripting shell: full paths from "HKEY_CURRENT_USER\", a path ending
// in "\" addressing the key itself, RegRead raising for anything absent ("not found" comes as the
// HRESULT 0x80070002, as the platform's shell raises it, or as the plain code 2 on demand),
// numbers coming back as numbers and multi-string values as arrays, RegWrite creating a missing
// key. Faults on demand: refused writes and deletes, unreadable values, shells that cannot be
// created, and the shell's answer for a key without a default value.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "installer/shell.h"

namespace kzTest {

using kzInstall::RegValue;
using kzInstall::ShellFailure;
using kzInstall::UpperCase;

struct Stored {
    std::u16string type;  // "REG_SZ", "REG_DWORD" or "REG_MULTI_SZ"
    RegValue data;
};

inline Stored Sz(std::u16string text) {
    return {u"REG_SZ", RegValue::String(std::move(text))};
}
inline Stored Dword(std::int64_t number) {
    return {u"REG_DWORD", RegValue::Number(number)};
}
inline Stored MultiSz(std::u16string text) {
    return {u"REG_MULTI_SZ", RegValue::Array({RegValue::String(std::move(text))})};
}

inline std::string Narrow(std::u16string_view text) {
    std::string result;
    for (char16_t c : text)
        result += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c))
                                        : "\\u" + std::to_string(static_cast<unsigned>(c));
    return result;
}

// What the shell answers when asked for a key that exists but has no default value.
enum class KeyProbe { EmptyText, Fails, Nothing };

class FakeRegistry {
  public:
    // Keys are paths below the root without a closing "\", e.g. "Software\Microsoft\Office".
    void Set(const std::u16string& key, const std::u16string& name, Stored value) {
        Key& k = keys_[UpperCase(key)];
        k.path = key;
        k.values[UpperCase(name)] = {name, std::move(value)};
    }
    void AddKey(const std::u16string& key) { keys_[UpperCase(key)].path = key; }

    // The whole registry as text, one line per key and per value, for comparisons.
    std::string Dump() const {
        std::string result;
        for (const auto& [upper, key] : keys_) {
            result += Narrow(key.path) + "\n";
            for (const auto& [upperName, named] : key.values) {
                result += "  [" + Narrow(named.first) + "] " + Narrow(named.second.type);
                for (const RegValue& item : named.second.data.kind() == RegValue::Kind::Array
                                                ? named.second.data.items()
                                                : std::vector{named.second.data})
                    result += " \"" + Narrow(item.ToText()) + "\"";
                result += "\n";
            }
        }
        return result;
    }

    kzInstall::ShellFactory Factory() {
        return [this]() -> std::unique_ptr<kzInstall::Shell> {
            if (creationFails && creationFails(++creations)) {
                throw ShellFailure("cannot create the shell",
                                   static_cast<std::int32_t>(0x80040154));
            }
            return std::make_unique<FakeShell>(*this);
        };
    }

    // Faults, by full path as the shell receives it, upper-cased.
    std::set<std::u16string> refused;  // writes and deletes
    std::set<std::u16string> unreadable;
    std::function<bool(int)> creationFails;  // called with the 1-based number of each creation
    int creations = 0;
    KeyProbe keyProbe = KeyProbe::EmptyText;
    std::int32_t notFound = static_cast<std::int32_t>(0x80070002u);

  private:
    struct Key {
        std::u16string path;
        std::map<std::u16string, std::pair<std::u16string, Stored>> values;  // by upper-case name
    };

    // The key below the root and the value name; the shell refuses any other root.
    static std::pair<std::u16string, std::u16string> Split(const std::u16string& path) {
        const std::u16string root = u"HKEY_CURRENT_USER\\";
        if (UpperCase(path.substr(0, root.size())) != root) throw ShellFailure("invalid root");
        const std::size_t last = path.rfind(u'\\');
        return {path.substr(root.size(), last - root.size()), path.substr(last + 1)};
    }

    class FakeShell final : public kzInstall::Shell {
      public:
        explicit FakeShell(FakeRegistry& registry) : r_(registry) {}

        RegValue RegRead(const std::u16string& path) override {
            const auto [key, name] = Split(path);
            if (r_.unreadable.contains(UpperCase(path))) throw ShellFailure("denied", 5);
            const auto k = r_.keys_.find(UpperCase(key));
            if (k == r_.keys_.end()) throw ShellFailure("no such key", r_.notFound);
            const auto v = k->second.values.find(UpperCase(name));
            if (v != k->second.values.end()) return v->second.second.data;
            if (!name.empty() || r_.keyProbe == KeyProbe::Fails) {
                throw ShellFailure("no such value", r_.notFound);
            }
            return r_.keyProbe == KeyProbe::EmptyText ? RegValue::String({}) : RegValue();
        }

        void RegWrite(const std::u16string& path, const RegValue& value,
                      const std::optional<std::u16string>& type) override {
            const auto [key, name] = Split(path);
            if (r_.refused.contains(UpperCase(path))) throw ShellFailure("denied", 5);
            const bool number =
                type ? *type == u"REG_DWORD" : value.kind() == RegValue::Kind::Number;
            Key& k = r_.keys_[UpperCase(key)];
            if (k.path.empty()) k.path = key;
            k.values[UpperCase(name)] = {name, number ? Dword(value.number()) : Sz(value.ToText())};
        }

        void RegDelete(const std::u16string& path) override {
            const auto [key, name] = Split(path);
            if (r_.refused.contains(UpperCase(path))) throw ShellFailure("denied", 5);
            const auto k = r_.keys_.find(UpperCase(key));
            if (k == r_.keys_.end() || k->second.values.erase(UpperCase(name)) == 0) {
                throw ShellFailure("no such value", r_.notFound);
            }
        }

      private:
        FakeRegistry& r_;
    };

    std::map<std::u16string, Key> keys_;  // by upper-case path
};

}  // namespace kzTest
