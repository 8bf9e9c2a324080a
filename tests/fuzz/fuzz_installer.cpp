// The installer's command line and OPEN-chain logic over an in-memory registry with random
// contents and faults. Whatever the input, the run may only ever write the one entry value
// /A "<ProgId>" (as REG_SZ, under a name of the OPEN chain of an Options key that exists) and
// delete values of the chain that hold that entry; it creates and deletes no key and leaves every
// other value alone. The command line decides the ProgId and whether anything runs at all.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "installer/command_line.h"
#include "installer/kz_install.h"
#include "installer/kz_main.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using kzInstall::RegValue;
using kzInstall::ShellFailure;
using kzInstall::UpperCase;
using tb::fuzz::Input;
using tb::fuzz::violated;

constexpr std::u16string_view kRoot = u"HKEY_CURRENT_USER\\";

std::string narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

struct Stored {
    std::u16string type;
    RegValue data;
    friend bool operator==(const Stored&, const Stored&) = default;
};

// Keys by upper-case path below the root; values by upper-case name.
using Values = std::map<std::u16string, Stored>;
using Keys = std::map<std::u16string, Values>;

// A registry behind the shell interface that behaves like the scripting shell: RegRead raises
// for anything absent, a write creates missing keys, numbers and arrays come back as stored.
// Every write and delete that reaches it is logged, refused or not.
struct Registry {
    Keys keys;
    std::set<std::u16string> refusedWrites, refusedDeletes, unreadable;  // upper-case full paths
    int failingCreation = -1;  // the number of the shell creation that fails, counting from 1
    int creations = 0;
    int keyProbe = 0;  // what reading a key gives: 0 an empty text, 1 a failure, 2 nothing

    struct Change {
        bool write;
        std::u16string path;
        Stored value;                  // written, or the value present before a delete
        std::optional<Stored> before;  // for a write, what the name held
    };
    std::vector<Change> changes;

    // Splits a full path into the upper-case key and value name; other roots fail.
    static std::pair<std::u16string, std::u16string> split(const std::u16string& path) {
        const std::u16string upper = UpperCase(path);
        if (upper.substr(0, kRoot.size()) != kRoot) throw ShellFailure("invalid root");
        const std::u16string rest = upper.substr(kRoot.size());
        const std::size_t last = rest.rfind(u'\\');
        if (last == std::u16string::npos) return {rest, {}};
        return {rest.substr(0, last), rest.substr(last + 1)};
    }
};

class Shell final : public kzInstall::Shell {
  public:
    explicit Shell(Registry& r) : r_(r) {}

    RegValue RegRead(const std::u16string& path) override {
        const auto [key, name] = Registry::split(path);
        if (r_.unreadable.contains(UpperCase(path))) throw ShellFailure("access denied", 5);
        const auto found = r_.keys.find(key);
        if (found == r_.keys.end()) throw ShellFailure("no such key", 2);
        const auto value = found->second.find(name);
        if (value != found->second.end()) return value->second.data;
        if (!name.empty()) throw ShellFailure("no such value", 2);
        if (r_.keyProbe == 1) throw ShellFailure("no default value", 2);
        return r_.keyProbe == 0 ? RegValue::String({}) : RegValue();
    }

    void RegWrite(const std::u16string& path, const RegValue& value,
                  const std::optional<std::u16string>& type) override {
        const auto [key, name] = Registry::split(path);
        Stored stored{type.value_or(u"(none)"), value};
        std::optional<Stored> before;
        if (auto k = r_.keys.find(key); k != r_.keys.end()) {
            if (auto v = k->second.find(name); v != k->second.end()) before = v->second;
        }
        r_.changes.push_back({true, path, stored, before});
        if (r_.refusedWrites.contains(UpperCase(path))) throw ShellFailure("denied", 5);
        for (std::size_t end = key.find(u'\\'); end != std::u16string::npos;
             end = key.find(u'\\', end + 1)) {
            r_.keys[key.substr(0, end)];
        }
        r_.keys[key][name] = stored;
    }

    void RegDelete(const std::u16string& path) override {
        const auto [key, name] = Registry::split(path);
        const auto k = r_.keys.find(key);
        const bool present = k != r_.keys.end() && (name.empty() || k->second.contains(name));
        r_.changes.push_back(
            {false, path, present && !name.empty() ? k->second[name] : Stored{}, {}});
        if (r_.refusedDeletes.contains(UpperCase(path))) throw ShellFailure("denied", 5);
        if (!present) throw ShellFailure("no such value", 2);
        if (name.empty()) {
            r_.keys.erase(k);
        } else {
            k->second.erase(name);
        }
    }

  private:
    Registry& r_;
};

// --- what the command line asks for, read independently of the installer --------------------

struct Request {
    std::u16string progId;
    std::u16string appKey;  // empty: nothing runs
};

// Tokens at single blanks after trimming blanks; read from the end: mode, application word, and
// every earlier token appended in reverse order to form the ProgId.
Request ReadRequest(std::u16string_view argumentText) {
    while (!argumentText.empty() && argumentText.front() == u' ')
        argumentText.remove_prefix(1);
    while (!argumentText.empty() && argumentText.back() == u' ')
        argumentText.remove_suffix(1);
    std::vector<std::u16string> tokens;
    if (!argumentText.empty()) {
        tokens.emplace_back();
        for (char16_t c : argumentText) {
            if (c == u' ') {
                tokens.emplace_back();
            } else {
                tokens.back() += c;
            }
        }
    }
    if (tokens.size() < 3) return {};
    Request request;
    for (std::size_t i = tokens.size() - 2; i-- > 0;)
        request.progId += tokens[i];
    const std::u16string& mode = tokens.back();
    const std::u16string word = UpperCase(tokens[tokens.size() - 2]);
    if (request.progId.empty() || mode.empty()) return {};
    const std::pair<std::u16string_view, std::u16string_view> apps[] = {
        {u"EXCEL", u"Excel"},           {u"WORD", u"Word"},
        {u"ACCESS", u"Access"},         {u"OUTLOOK", u"Outlook"},
        {u"POWERPOINT", u"PowerPoint"},
    };
    for (const auto& [w, key] : apps) {
        if (word == w) request.appKey = key;
    }
    return request;
}

// --- decoding ----------------------------------------------------------------------------------

std::u16string Token(Input& in) {
    static const std::u16string_view tokens[] = {
        u"kzTEXTBRAID.TEXTBRAID",
        u"Other.Addin",
        u"A",
        u"B",
        u"EXCEL",
        u"excel",
        u"Word",
        u"ACCESS",
        u"outlook",
        u"PowerPoint",
        u"VISIO",
        u"0",
        u"1",
        u"01",
        u"2",
        u"1\t",
        u"\"q\"",
        u"\u00e9xcel",
        u"",
    };
    const std::size_t choice = in.pick(std::size(tokens) + 1);
    return choice < std::size(tokens) ? std::u16string(tokens[choice]) : in.text(12);
}

std::u16string CommandLine(Input& in) {
    static const std::u16string_view separators[] = {u" ", u" ", u"  ", u"\t", u" \t"};
    std::u16string line = in.flag() ? u" " : u"";
    const std::size_t n = in.pick(7);
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) line += in.from(separators);
        line += Token(in);
    }
    if (in.flag()) line += u"  ";
    return line;
}

Stored Value(Input& in, const std::u16string& entry) {
    switch (in.pick(9)) {
        case 0:
            return {u"REG_SZ", RegValue::String(entry)};
        case 1: {  // the entry in other letter case and with outer blanks
            std::u16string text = u"  " + entry + u" ";
            for (char16_t& c : text)
                if (c >= u'a' && c <= u'z' && in.flag()) c = static_cast<char16_t>(c - 0x20);
            return {u"REG_SZ", RegValue::String(text)};
        }
        case 2:
            return {u"REG_SZ",
                    RegValue::String(u"/A  \"" + entry.substr(entry.size() > 4 ? 4 : 0))};
        case 3:
            return {u"REG_SZ", RegValue::String(u"/A \"Other.Addin\"")};
        case 4:
            return {u"REG_DWORD", RegValue::Number(static_cast<std::int64_t>(in.u64()))};
        case 5:
            return {u"REG_MULTI_SZ", RegValue::Array({RegValue::String(entry)})};
        case 6:
            return {u"REG_BINARY", RegValue::Array({})};
        case 7:
            return {u"REG_SZ", RegValue::String({})};
        default:
            return {u"REG_SZ", RegValue::String(in.text())};
    }
}

std::u16string ValueName(Input& in) {
    static const std::u16string_view names[] = {u"OPEN",  u"OPEN1", u"OPEN2", u"open3",
                                                u"OPEN4", u"OPEN0", u"",      u"Other"};
    return std::u16string(in.from(names));
}

void FillRegistry(Input& in, Registry& r, const std::u16string& entry) {
    static const std::u16string_view apps[] = {u"Excel",   u"Word",       u"Access",
                                               u"Outlook", u"PowerPoint", u"EXCEL"};
    const std::size_t keys = in.pick(6);
    for (std::size_t k = 0; k < keys; ++k) {
        static const std::u16string_view versions[] = {u"16.0", u"15.0", u"14.0", u"12.0",
                                                       u"99.0", u"10.0", u"9.0",  u"100.0",
                                                       u"16",   u"016.0"};
        // One read per statement: the operands of + are evaluated in no fixed order.
        std::u16string key = u"Software\\Microsoft\\Office\\" + std::u16string(in.from(versions));
        key = UpperCase(key + u"\\" + std::u16string(in.from(apps)));
        if (in.pick(4) != 0) key += u"\\OPTIONS";
        Values& values = r.keys[key];
        const std::size_t count = in.pick(7);
        for (std::size_t i = 0; i < count; ++i) {
            const std::u16string name = UpperCase(ValueName(in));
            values[name] = Value(in, entry);
        }
        // Faults on names of this key, whether they hold a value or not.
        const std::size_t faults = in.pick(4);
        for (std::size_t i = 0; i < faults; ++i) {
            const std::u16string path =
                std::u16string(kRoot) + key + u"\\" + UpperCase(ValueName(in));
            switch (in.pick(3)) {
                case 0:
                    r.refusedWrites.insert(path);
                    break;
                case 1:
                    r.refusedDeletes.insert(path);
                    break;
                default:
                    r.unreadable.insert(path);
            }
        }
    }
    // Parent keys of every key, as a real registry has them.
    for (Keys::const_iterator it = r.keys.begin(); it != r.keys.end(); ++it) {
        const std::u16string& key = it->first;
        for (std::size_t end = key.find(u'\\'); end != std::u16string::npos;
             end = key.find(u'\\', end + 1)) {
            r.keys.try_emplace(key.substr(0, end));
        }
    }
    r.keyProbe = static_cast<int>(in.pick(3));
    if (in.flag()) r.failingCreation = 1 + static_cast<int>(in.u16() % 400);
}

// --- the invariants ------------------------------------------------------------------------------

bool IsChainName(std::u16string_view name) {
    return UpperCase(name).substr(0, 4) == u"OPEN";
}

void CheckRun(const Request& request, const Registry& before, const Registry& after,
              kzMain::Outcome outcome, int boxes) {
    if (request.appKey.empty() && outcome != kzMain::Outcome::Ignored) {
        violated("an unusable command line ran a routine");
    }
    if (!request.appKey.empty() && outcome == kzMain::Outcome::Ignored) {
        violated("a usable command line was ignored");
    }
    if (boxes != (outcome == kzMain::Outcome::WarningShown ? 1 : 0)) {
        violated("warning boxes shown: " + std::to_string(boxes));
    }

    const std::u16string entry = u"/A \"" + request.progId + u"\"";
    const std::u16string options = UpperCase(u"\\" + request.appKey + u"\\OPTIONS");
    auto entry_key = [&](const std::u16string& key) {
        return key.size() > options.size() && key.ends_with(options) && before.keys.contains(key);
    };
    auto matches_entry = [&](const RegValue& v) {
        if (v.kind() != RegValue::Kind::String) return false;
        return UpperCase(kzInstall::TrimBlanks(v.text())) == UpperCase(entry);
    };
    for (const Registry::Change& change : after.changes) {
        const auto [key, name] = Registry::split(change.path);
        if (!entry_key(key) || !IsChainName(name)) {
            violated("a change outside the OPEN chain of an existing Options key: " +
                     narrow(change.path));
        }
        if (change.write && !(change.value == Stored{u"REG_SZ", RegValue::String(entry)})) {
            violated("a write of something other than the entry at " + narrow(change.path));
        }
        // A value that cannot be read ends the chain like a missing one, and so does a read
        // whose shell could not be created: the entry then takes that name.
        const bool read_failed =
            before.unreadable.contains(UpperCase(change.path)) ||
            (after.failingCreation > 0 && after.creations >= after.failingCreation);
        if (change.write && change.before && !read_failed) {
            violated("a write over a readable value at " + narrow(change.path));
        }
        if (!change.write && !matches_entry(change.value.data)) {
            violated("a delete of a value that is not the entry at " + narrow(change.path));
        }
    }

    // The end state: the same keys, and only chain values changed, each to the entry or away.
    if (before.keys.size() != after.keys.size()) violated("a key was created or deleted");
    for (const auto& [key, values] : after.keys) {
        const auto old = before.keys.find(key);
        if (old == before.keys.end()) violated("a key was created: " + narrow(key));
        std::set<std::u16string> names;
        for (const auto& [name, value] : values)
            names.insert(name);
        for (const auto& [name, value] : old->second)
            names.insert(name);
        for (const std::u16string& name : names) {
            const auto a = values.find(name);
            const auto b = old->second.find(name);
            const bool same = (a == values.end()) == (b == old->second.end()) &&
                              (a == values.end() || a->second == b->second);
            if (same) continue;
            if (!IsChainName(name)) violated("a value outside the chain changed: " + narrow(name));
            if (a != values.end() && !(a->second == Stored{u"REG_SZ", RegValue::String(entry)})) {
                violated("a chain value became something other than the entry: " + narrow(name));
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(std::span<const std::uint8_t>(data, size));

    // Either the argument text itself or a whole command line with the program's path first.
    std::u16string argumentText = CommandLine(in);
    if (in.flag()) {
        static const std::u16string_view programs[] = {u"AddinSetup.exe", u"\"C:\\a b\\x.exe\"",
                                                       u"C:\\\"a b\"\\x.exe", u"\"unclosed x"};
        const std::u16string commandLine = std::u16string(in.from(programs)) + argumentText;
        const std::u16string_view rest = kzMain::ArgumentText(commandLine);
        if (rest.data() < commandLine.data() ||
            rest.data() + rest.size() != commandLine.data() + commandLine.size()) {
            violated("the argument text is not a tail of the command line");
        }
        argumentText = std::u16string(rest);
    }
    const Request request = ReadRequest(argumentText);

    Registry registry;
    FillRegistry(in, registry, u"/A \"" + request.progId + u"\"");
    const Registry before = registry;

    int boxes = 0;
    const kzInstall::ShellFactory shells = [&registry]() -> std::unique_ptr<kzInstall::Shell> {
        if (++registry.creations == registry.failingCreation) throw ShellFailure("no shell");
        return std::make_unique<Shell>(registry);
    };
    const kzMain::Outcome outcome = kzMain::Main(
        argumentText, shells,
        [&boxes](const std::u16string& text, const std::u16string& title, std::uint32_t style) {
            ++boxes;
            if (text != kzMain::kWarningText || title != kzMain::kWarningTitle ||
                style != kzMain::kWarningBoxStyle) {
                violated("a box other than the warning");
            }
        });
    if (std::getenv("TB_FUZZ_TRACE")) {  // prints the decoded run, to read a reproducer
        std::fprintf(stderr, "arguments \"%s\": ProgId \"%s\", application %s, outcome %d\n",
                     narrow(argumentText).c_str(), narrow(request.progId).c_str(),
                     narrow(request.appKey).c_str(), static_cast<int>(outcome));
        for (const auto& [key, values] : before.keys) {
            for (const auto& [name, value] : values)
                std::fprintf(stderr, "  %s\\%s %s\n", narrow(key).c_str(), narrow(name).c_str(),
                             narrow(value.type).c_str());
        }
        for (const Registry::Change& change : registry.changes)
            std::fprintf(stderr, "%s %s\n", change.write ? "write" : "delete",
                         narrow(change.path).c_str());
    }
    CheckRun(request, before, registry, outcome, boxes);
    return 0;
}
