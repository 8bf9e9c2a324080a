#include "tests/unit/installer_fake_registry.h"

#include <algorithm>
#include <cstdio>

namespace kzTest {

using kzInstall::RegValue;
using kzInstall::ShellFailure;
using kzInstall::UpperCase;

Stored Sz(std::u16string text) {
    return {u"REG_SZ", RegValue::String(std::move(text))};
}
Stored Dword(std::int64_t number) {
    return {u"REG_DWORD", RegValue::Number(number)};
}
Stored MultiSz(std::vector<std::u16string> texts) {
    std::vector<RegValue> items;
    for (auto& text : texts)
        items.push_back(RegValue::String(std::move(text)));
    return {u"REG_MULTI_SZ", RegValue::Array(std::move(items))};
}
Stored Binary(std::vector<std::uint8_t> bytes) {
    std::vector<RegValue> items;
    for (auto byte : bytes)
        items.push_back(RegValue::Number(byte));
    return {u"REG_BINARY", RegValue::Array(std::move(items))};
}

std::string Narrow(std::u16string_view text) {
    std::string result;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            result += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            result += escape;
        }
    }
    return result;
}

namespace {

std::string Describe(const RegValue& value) {
    switch (value.kind()) {
        case RegValue::Kind::Empty:
            return "<nothing>";
        case RegValue::Kind::String: {
            // Appended piecewise: GCC 12 at -O3 misreports "\"" + text as overlapping copies.
            std::string quoted(1, '"');
            quoted += Narrow(value.text());
            quoted += '"';
            return quoted;
        }
        case RegValue::Kind::Number:
            return std::to_string(value.number());
        case RegValue::Kind::Array: {
            std::string result = "[";
            for (const auto& item : value.items())
                result += Describe(item) + ",";
            return result + "]";
        }
    }
    return "?";
}

bool Listed(const std::set<std::u16string>& paths, const std::u16string& path) {
    for (const auto& listed : paths) {
        if (UpperCase(listed) == UpperCase(path)) return true;
    }
    return false;
}

}  // namespace

class FakeShell final : public kzInstall::Shell {
  public:
    explicit FakeShell(FakeRegistry& registry) : registry_(registry) {
        registry_.mostLiveShells = std::max(registry_.mostLiveShells, ++registry_.liveShells);
    }
    ~FakeShell() override { --registry_.liveShells; }
    FakeShell(const FakeShell&) = delete;
    FakeShell& operator=(const FakeShell&) = delete;

    RegValue RegRead(const std::u16string& path) override {
        registry_.log.push_back("read " + Narrow(path));
        const auto [keyPath, name] = registry_.Split(path);
        if (Listed(registry_.unreadable, path)) throw ShellFailure("access denied", 5);
        FakeRegistry::Key* key = registry_.Find(keyPath);
        if (!key) throw ShellFailure("no such key", 2);
        const auto found = key->values.find(UpperCase(name));
        if (found != key->values.end()) return found->second.second.data;
        if (!name.empty()) throw ShellFailure("no such value", 2);
        switch (registry_.keyProbe) {
            case KeyProbe::EmptyText:
                return RegValue::String({});
            case KeyProbe::Fails:
                throw ShellFailure("no default value", 2);
            case KeyProbe::Nothing:
                break;
        }
        return {};
    }

    void RegWrite(const std::u16string& path, const RegValue& value,
                  const std::optional<std::u16string>& type) override {
        registry_.log.push_back("write " + Narrow(path));
        const auto [keyPath, name] = registry_.Split(path);
        if (Listed(registry_.refusedWrites, path)) throw ShellFailure("denied", 5);
        if (value.kind() == RegValue::Kind::Array) throw ShellFailure("type mismatch");
        std::u16string storedType =
            type.value_or(value.kind() == RegValue::Kind::Number ? u"REG_DWORD" : u"REG_SZ");
        RegValue data = value;
        if (storedType == u"REG_SZ" || storedType == u"REG_EXPAND_SZ") {
            data = RegValue::String(value.ToText());
        } else if (storedType != u"REG_DWORD") {
            throw ShellFailure("unsupported type");
        }
        // Like the platform's shell, a write creates the key (and its parents) when missing.
        registry_.Create(keyPath).values[UpperCase(name)] = {name, {storedType, data}};
    }

    void RegDelete(const std::u16string& path) override {
        registry_.log.push_back("delete " + Narrow(path));
        const auto [keyPath, name] = registry_.Split(path);
        if (Listed(registry_.refusedDeletes, path)) throw ShellFailure("denied", 5);
        FakeRegistry::Key* key = registry_.Find(keyPath);
        if (!key) throw ShellFailure("no such key", 2);
        if (name.empty()) {
            registry_.keys_.erase(UpperCase(keyPath));
        } else if (key->values.erase(UpperCase(name)) == 0) {
            throw ShellFailure("no such value", 2);
        }
    }

  private:
    FakeRegistry& registry_;
};

void FakeRegistry::AddKey(const std::u16string& key) {
    Create(key);
}

void FakeRegistry::Set(const std::u16string& key, const std::u16string& name, Stored value) {
    Create(key).values[UpperCase(name)] = {name, std::move(value)};
}

bool FakeRegistry::HasKey(const std::u16string& key) const {
    return keys_.contains(UpperCase(key));
}

FakeRegistry::Key* FakeRegistry::Find(const std::u16string& key) {
    const auto found = keys_.find(UpperCase(key));
    return found == keys_.end() ? nullptr : &found->second;
}

FakeRegistry::Key& FakeRegistry::Create(const std::u16string& key) {
    for (std::size_t end = key.find(u'\\'); end != std::u16string::npos;
         end = key.find(u'\\', end + 1)) {
        keys_.try_emplace(UpperCase(key.substr(0, end)), Key{key.substr(0, end), {}});
    }
    return keys_.try_emplace(UpperCase(key), Key{key, {}}).first->second;
}

std::pair<std::u16string, std::u16string> FakeRegistry::Split(
    const std::u16string& fullPath) const {
    if (UpperCase(fullPath.substr(0, kRoot.size())) != kRoot) {
        throw ShellFailure("invalid root in registry key");
    }
    const std::u16string rest = fullPath.substr(kRoot.size());
    const std::size_t last = rest.rfind(u'\\');
    if (last == std::u16string::npos) return {rest, {}};
    return {rest.substr(0, last), rest.substr(last + 1)};
}

std::string FakeRegistry::Dump() const {
    std::string result;
    for (const auto& [upper, key] : keys_) {
        result += Narrow(key.path) + "\n";
        for (const auto& [upperName, named] : key.values) {
            result += "  " +
                      (named.first.empty() ? std::string("(default)") : Narrow(named.first)) + " " +
                      Narrow(named.second.type) + " " + Describe(named.second.data) + "\n";
        }
    }
    return result;
}

kzInstall::ShellFactory FakeRegistry::Factory() {
    return [this]() -> std::unique_ptr<kzInstall::Shell> {
        ++creations;
        if (creationFails && creationFails(creations)) {
            throw ShellFailure("cannot create the shell", static_cast<std::int32_t>(0x80040154));
        }
        return std::make_unique<FakeShell>(*this);
    };
}

}  // namespace kzTest
