#include "standin/xlsx/xlsx_reader.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/host/serial_date.h"
#include "core/host/value.h"
#include "standin/model.h"
#include "standin/number_format.h"
#include "standin/xlsx/xml.h"

namespace tb::standin {
namespace {

constexpr std::uint32_t max_row = 1048576;
constexpr std::uint32_t max_column = 16384;
constexpr std::uintmax_t max_file_size = 512u * 1024u * 1024u;
// Notes a workbook may give about unknown error values or defined names left out, at most;
// past that, one more line counts the rest.
constexpr std::size_t max_notes = 20;
// Defined names read at most, and the longest formula one may refer to (as in Excel).
constexpr std::size_t max_names = 65536;
constexpr std::size_t max_name_formula = 8192;

// ---------------------------------------------------------------------------------------------
// Small text helpers

bool ends_with_type(std::string_view type, std::string_view suffix) {
    return type.size() > suffix.size() && type.ends_with(suffix) &&
           type[type.size() - suffix.size() - 1] == '/';
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
int upper_value(char c) {
    return (c >= 'a' ? c - 'a' : c - 'A') + 1;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool parse_uint(std::string_view s, std::uint64_t& out) {
    s = trim(s);
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

bool parse_double(std::string_view s, double& out) {
    s = trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && std::isfinite(out);
}

bool parse_bool_attr(const std::string* value) {
    return value != nullptr && (*value == "1" || *value == "true");
}

// "B3" → row 3, column 2. Column letters A..XFD, rows 1..1048576.
bool parse_cell_ref(std::string_view ref, std::uint32_t& row, std::uint32_t& column) {
    std::size_t i = 0;
    std::uint32_t c = 0;
    while (i < ref.size() && is_letter(ref[i]) && i < 3) {
        c = c * 26 + static_cast<std::uint32_t>(upper_value(ref[i]));
        ++i;
    }
    if (i == 0 || c > max_column) return false;
    std::uint64_t r = 0;
    const std::string_view digits = ref.substr(i);
    if (digits.empty() || !is_digit(digits.front())) return false;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), r);
    if (ec != std::errc() || end != digits.data() + digits.size() || r < 1 || r > max_row) {
        return false;
    }
    row = static_cast<std::uint32_t>(r);
    column = c;
    return true;
}

// 1 → A, 28 → AB.
std::string column_name(std::int64_t column) {
    std::string s;
    while (column > 0) {
        const auto rem = (column - 1) % 26;
        s.insert(s.begin(), static_cast<char>('A' + rem));
        column = (column - 1) / 26;
    }
    return s;
}

// Text in cells escapes characters XML cannot carry as _xHHHH_ (a literal "_x" before four hex
// digits and '_' is itself written as _x005F_).
void decode_escapes(std::u16string& s) {
    if (s.find(u"_x") == std::u16string::npos) return;
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == u'_' && i + 6 < s.size() && s[i + 1] == u'x' && s[i + 6] == u'_') {
            unsigned v = 0;
            bool ok = true;
            for (std::size_t k = i + 2; k < i + 6 && ok; ++k) {
                const char16_t d = s[k];
                if (d >= u'0' && d <= u'9') {
                    v = v * 16 + (d - u'0');
                } else if (d >= u'a' && d <= u'f') {
                    v = v * 16 + (d - u'a' + 10);
                } else if (d >= u'A' && d <= u'F') {
                    v = v * 16 + (d - u'A' + 10);
                } else {
                    ok = false;
                }
            }
            if (ok) {
                out.push_back(static_cast<char16_t>(v));
                i += 6;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    s = std::move(out);
}

std::u16string cell_text(std::string_view utf8) {
    std::u16string s = utf8_to_utf16(utf8);
    decode_escapes(s);
    return s;
}

// An error value by its displayed text; 0 for one the stand-in does not know. #BUSY! (a value
// still being fetched) has no number of its own in Excel's object model; it is read as
// #GETTING_DATA, which means the same.
std::int32_t error_scode(std::string_view text) {
    const std::u16string t = utf8_to_utf16(trim(text));
    if (to_upper(t) == u"#BUSY!") return xlerr::from_display_text(u"#GETTING_DATA");
    return xlerr::from_display_text(t);
}

// Text from the file as a note quotes it: at most 40 bytes (not cutting a character), control
// characters as blanks, so that the note stays one short line.
std::string as_quoted(std::string_view text) {
    std::string out(text.substr(0, 40));
    if (text.size() > 40) {
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80)
            out.pop_back();
        if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
        out += "...";
    }
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return out;
}

// A defined name as Excel accepts one: a letter, '_' or a backslash first, then letters, digits,
// '_', '.', a backslash or '?' (a non-ASCII character counting as a letter), at most 255 bytes.
bool is_name(std::string_view name) {
    if (name.empty() || name.size() > 255 || is_digit(name.front()) || name.front() == '.' ||
        name.front() == '?')
        return false;
    for (const char c : name) {
        if (!is_letter(c) && !is_digit(c) && c != '_' && c != '.' && c != '\\' && c != '?' &&
            static_cast<unsigned char>(c) < 0x80)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Package structure

struct Relationship {
    std::string id;
    std::string type;
    std::string target;  // resolved part name
    bool external = false;
};

std::string directory_of(std::string_view part) {
    const auto slash = part.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(part.substr(0, slash + 1));
}

// A relationship target resolved against the folder of the part that owns it, as a part name
// without the leading '/'; "." and ".." segments folded, %XX escapes decoded.
std::string resolve_target(std::string_view base_directory, std::string_view target) {
    std::string decoded;
    for (std::size_t i = 0; i < target.size(); ++i) {
        auto hex = [](char c) {
            return is_digit(c)              ? c - '0'
                   : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                   : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                            : -1;
        };
        if (target[i] == '%' && i + 2 < target.size() && hex(target[i + 1]) >= 0 &&
            hex(target[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(hex(target[i + 1]) * 16 + hex(target[i + 2])));
            i += 2;
        } else {
            decoded.push_back(target[i] == '\\' ? '/' : target[i]);
        }
    }
    std::string path =
        decoded.starts_with('/') ? decoded.substr(1) : std::string(base_directory) + decoded;
    std::vector<std::string_view> segments;
    std::string_view rest = path;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view seg = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (seg.empty() || seg == ".") continue;
        if (seg == "..") {
            if (!segments.empty()) segments.pop_back();
            continue;
        }
        segments.push_back(seg);
    }
    std::string out;
    for (const auto& seg : segments) {
        if (!out.empty()) out.push_back('/');
        out += seg;
    }
    return out;
}

class Reader {
  public:
    Reader(std::span<const std::uint8_t> bytes, std::uint64_t max_cells)
        : zip_(bytes, std::string()), max_cells_(max_cells) {}

    WorkbookData read(std::u16string name);

  private:
    struct SheetEntry {
        std::string name;  // UTF-8
        std::string rel_id;
        std::optional<std::size_t> index;  // in the workbook data, for worksheets
    };
    struct RawName {
        std::string name, refers_to;
        std::optional<std::uint64_t> local_sheet;  // in the order of <sheets>
    };

    XmlReader open(const ZipArchive::Entry& entry, const std::string& part) const;
    XmlReader open(const std::string& part) const;
    std::vector<Relationship> read_relationships(const std::string& part);
    void read_workbook(const std::string& part, std::vector<SheetEntry>& sheets,
                       std::vector<RawName>& names);
    void read_shared_strings(const std::string& part);
    void read_styles(const std::string& part);
    void read_sheet(const std::string& part, SheetData& sheet);
    void read_rich_text(XmlReader& x, std::string& out);
    void add_names(std::vector<RawName> raw, const std::vector<SheetEntry>& sheets,
                   WorkbookData& book);
    void note(std::string text);
    void note_unknown_error(const SheetData& sheet, std::string_view text, std::uint32_t row,
                            std::uint32_t column);

    ZipArchive zip_;
    std::uint64_t max_cells_;
    std::uint64_t cells_ = 0;
    bool date1904_ = false;
    std::vector<std::u16string> shared_strings_;
    std::vector<std::u16string> formats_;  // per cellXfs entry
    std::vector<std::string> notes_;
    std::size_t notes_left_out_ = 0;
    std::size_t names_over_ = 0;
    // Unknown error values by their text: the first cell holding each and how many do.
    struct Unknown {
        std::string first_cell;
        std::uint64_t cells = 0;
    };
    std::map<std::string, Unknown> unknown_errors_;
};

XmlReader Reader::open(const ZipArchive::Entry& entry, const std::string& part) const {
    auto stream = std::make_shared<ZipArchive::Stream>(zip_.open(entry));
    return XmlReader([stream](char* out, std::size_t size) { return stream->read(out, size); },
                     part);
}

XmlReader Reader::open(const std::string& part) const {
    const ZipArchive::Entry* entry = zip_.find(part);
    if (entry == nullptr) throw XlsxError(part + " is missing");
    return open(*entry, part);
}

void Reader::note(std::string text) {
    if (notes_.size() < max_notes) {
        notes_.push_back(std::move(text));
    } else {
        ++notes_left_out_;
    }
}

void Reader::note_unknown_error(const SheetData& sheet, std::string_view text, std::uint32_t row,
                                std::uint32_t column) {
    const std::string key = as_quoted(trim(text));
    auto found = unknown_errors_.find(key);
    if (found == unknown_errors_.end()) {
        if (unknown_errors_.size() == max_notes) {
            ++notes_left_out_;
            return;
        }
        found = unknown_errors_
                    .emplace(key, Unknown{as_quoted(utf8(cell_name(sheet.name, row, column))), 0})
                    .first;
    }
    ++found->second.cells;
}

std::vector<Relationship> Reader::read_relationships(const std::string& part) {
    const std::string directory = directory_of(part);
    const std::string file = part.substr(directory.size());
    const std::string rels_part = directory + "_rels/" + file + ".rels";
    std::vector<Relationship> out;
    const ZipArchive::Entry* entry = zip_.find(rels_part);
    if (entry == nullptr) return out;
    XmlReader x = open(*entry, rels_part);
    for (auto e = x.next(); e != XmlReader::Event::Eof; e = x.next()) {
        if (e != XmlReader::Event::Start || x.local_name() != "Relationship") continue;
        const std::string* id = x.attribute("Id");
        const std::string* type = x.attribute("Type");
        const std::string* target = x.attribute("Target");
        if (id == nullptr || type == nullptr || target == nullptr) {
            x.invalid("a Relationship without Id, Type or Target");
        }
        Relationship r;
        r.id = *id;
        r.type = *type;
        const std::string* mode = x.attribute("TargetMode");
        r.external = mode != nullptr && *mode == "External";
        r.target = r.external ? *target : resolve_target(directory, *target);
        out.push_back(std::move(r));
    }
    return out;
}

void Reader::read_rich_text(XmlReader& x, std::string& out) {
    // After the start of <si>, <is> or <r>: the text of its <t> and of its runs' <t>; phonetic
    // runs (<rPh>) and properties are no part of the value.
    const std::size_t depth = x.depth();
    for (;;) {
        const auto e = x.next();
        if (e == XmlReader::Event::End && x.depth() < depth) return;
        if (e != XmlReader::Event::Start) continue;
        if (x.local_name() == "t") {
            x.append_text(out);
        } else if (x.local_name() == "r") {
            read_rich_text(x, out);
        } else {
            x.skip();
        }
    }
}

void Reader::read_shared_strings(const std::string& part) {
    XmlReader x = open(part);
    std::string text;
    for (auto e = x.next(); e != XmlReader::Event::Eof; e = x.next()) {
        if (e != XmlReader::Event::Start) continue;
        if (x.depth() == 1) {
            if (x.local_name() != "sst") x.invalid("the root element is not <sst>");
            if (const std::string* count = x.attribute("uniqueCount")) {
                std::uint64_t n = 0;
                if (parse_uint(*count, n))
                    shared_strings_.reserve(
                        static_cast<std::size_t>(std::min<std::uint64_t>(n, 1u << 20)));
            }
        } else if (x.depth() == 2 && x.local_name() == "si") {
            text.clear();
            read_rich_text(x, text);
            shared_strings_.push_back(cell_text(text));
        } else {
            x.skip();
        }
    }
}

void Reader::read_styles(const std::string& part) {
    XmlReader x = open(part);
    std::unordered_map<std::uint64_t, std::u16string> custom;
    std::vector<std::uint64_t> xf_ids;
    for (auto e = x.next(); e != XmlReader::Event::Eof; e = x.next()) {
        if (e != XmlReader::Event::Start) continue;
        if (x.depth() == 1) {
            if (x.local_name() != "styleSheet") x.invalid("the root element is not <styleSheet>");
        } else if (x.depth() == 2 && (x.local_name() == "numFmts" || x.local_name() == "cellXfs")) {
            // entered; their children are read below
        } else if (x.depth() == 3 && x.local_name() == "numFmt") {
            const std::string* id = x.attribute("numFmtId");
            const std::string* code = x.attribute("formatCode");
            std::uint64_t n = 0;
            if (id == nullptr || code == nullptr || !parse_uint(*id, n)) {
                x.invalid("a numFmt without a valid numFmtId or formatCode");
            }
            custom[n] = utf8_to_utf16(*code);
            x.skip();
        } else if (x.depth() == 3 && x.local_name() == "xf") {
            std::uint64_t n = 0;
            const std::string* id = x.attribute("numFmtId");
            if (id != nullptr && !parse_uint(*id, n)) x.invalid("an xf with a bad numFmtId");
            xf_ids.push_back(n);
            x.skip();
        } else {
            x.skip();
        }
    }
    // <xf> elements were taken from <cellXfs> only: other parents were skipped whole.
    formats_.reserve(xf_ids.size());
    for (const std::uint64_t id : xf_ids) {
        std::u16string code;
        if (auto it = custom.find(id); it != custom.end()) {
            code = it->second;
        } else if (id <= 0xFFFF) {
            code = builtin_format_code(static_cast<unsigned>(id));
        }
        if (code.empty()) code = u"General";
        formats_.push_back(std::move(code));
    }
}

struct SharedFormula {
    std::uint32_t row = 0;
    std::uint32_t column = 0;
    std::string text;
};

void Reader::read_sheet(const std::string& part, SheetData& sheet) {
    XmlReader x = open(part);
    std::unordered_map<std::string, SharedFormula> shared;
    bool in_data = false;
    std::uint32_t row = 0;
    std::uint32_t column = 0;
    std::string v, f, f_type, f_si, inline_text, type;
    for (auto e = x.next(); e != XmlReader::Event::Eof; e = x.next()) {
        if (e == XmlReader::Event::End) {
            if (x.local_name() == "sheetData" && x.depth() == 1) in_data = false;
            continue;
        }
        if (e != XmlReader::Event::Start) continue;
        const std::string_view local = x.local_name();
        if (x.depth() == 1) {
            if (local != "worksheet") x.invalid("the root element is not <worksheet>");
            continue;
        }
        if (x.depth() == 2 && local == "sheetData") {
            in_data = true;
            continue;
        }
        if (in_data && x.depth() == 3 && local == "row") {
            if (const std::string* r = x.attribute("r")) {
                std::uint64_t n = 0;
                if (!parse_uint(*r, n) || n < 1 || n > max_row) x.invalid("bad row number " + *r);
                row = static_cast<std::uint32_t>(n);
            } else {
                if (row == max_row) x.invalid("more than " + std::to_string(max_row) + " rows");
                ++row;
            }
            column = 0;
            continue;
        }
        if (!(in_data && x.depth() == 4 && local == "c")) {
            x.skip();
            continue;
        }

        // A cell: its position, style and type from the attributes, then its children.
        if (row == 0) x.invalid("a cell outside a row");
        std::uint32_t cell_row = row;
        if (const std::string* r = x.attribute("r")) {
            if (!parse_cell_ref(*r, cell_row, column)) x.invalid("bad cell reference " + *r);
        } else {
            if (column == max_column)
                x.invalid("more than " + std::to_string(max_column) + " columns");
            ++column;
        }
        std::uint64_t style = 0;
        if (const std::string* s = x.attribute("s")) {
            if (!parse_uint(*s, style)) x.invalid("bad style index " + *s);
        }
        const std::string* t = x.attribute("t");
        type = t != nullptr ? *t : std::string("n");
        bool has_v = false, has_f = false, has_is = false;
        v.clear();
        f.clear();
        f_type.clear();
        f_si.clear();
        inline_text.clear();
        const std::size_t depth = x.depth();
        for (;;) {
            const auto ce = x.next();
            if (ce == XmlReader::Event::End && x.depth() < depth) break;
            if (ce != XmlReader::Event::Start) continue;
            if (x.local_name() == "v") {
                has_v = true;
                x.append_text(v);
            } else if (x.local_name() == "f") {
                has_f = true;
                if (const std::string* ft = x.attribute("t")) f_type = *ft;
                if (const std::string* si = x.attribute("si")) f_si = *si;
                x.append_text(f);
            } else if (x.local_name() == "is") {
                has_is = true;
                read_rich_text(x, inline_text);
            } else {
                x.skip();
            }
        }

        // An empty <v/> is no value, except for a formula's text result.
        if (type != "str" && type != "inlineStr" && trim(v).empty()) has_v = false;
        // The cell's name, for a message only: most cells never need it.
        const auto ref = [&] { return column_name(column) + std::to_string(cell_row); };
        CellData cell;
        if (!formats_.empty()) {
            if (style >= formats_.size()) {
                x.invalid("cell " + ref() + " has style index " + std::to_string(style) +
                          ", past the " + std::to_string(formats_.size()) + " cell formats");
            }
            cell.format = formats_[static_cast<std::size_t>(style)];
        }
        if (type == "s") {
            if (has_v) {
                std::uint64_t index = 0;
                if (!parse_uint(v, index) || index >= shared_strings_.size()) {
                    x.invalid("cell " + ref() + " refers to shared string " + std::string(trim(v)) +
                              ", past the " + std::to_string(shared_strings_.size()) + " strings");
                }
                cell.value = Value::string(shared_strings_[static_cast<std::size_t>(index)]);
            }
        } else if (type == "str") {
            if (has_v) cell.value = Value::string(cell_text(v));
        } else if (type == "inlineStr") {
            if (has_is) {
                cell.value = Value::string(cell_text(inline_text));
            } else if (has_v) {
                cell.value = Value::string(cell_text(v));
            }
        } else if (type == "b") {
            if (has_v) {
                const std::string_view b = trim(v);
                if (b == "1" || b == "true") {
                    cell.value = Value::boolean(true);
                } else if (b == "0" || b == "false") {
                    cell.value = Value::boolean(false);
                } else {
                    x.invalid("cell " + ref() + " has the bad boolean " + v);
                }
            }
        } else if (type == "e") {
            if (has_v) {
                std::int32_t code = error_scode(v);
                if (code == 0) {
                    // An error value of a newer Excel (#PYTHON!, #TIMEOUT!, …): what the
                    // object model gives for one it has no number for.
                    note_unknown_error(sheet, v, cell_row, column);
                    code = xlerr::scode(xlerr::value);
                }
                cell.value = Value::error(code);
            }
        } else if (type == "d") {
            if (has_v) {
                double serial = 0;
                if (!iso_to_serial(trim(v), serial)) {
                    x.invalid("cell " + ref() + " has the bad date " + v);
                }
                // The workbook's own serial: a date (not a time of day alone) counts from 1904.
                if (date1904_ && serial >= 1) serial = ole_of_serial(serial) - date1904_offset;
                cell.value = Value::number(serial);
            }
        } else if (type == "n") {
            if (has_v) {
                double number = 0;
                if (!parse_double(v, number))
                    x.invalid("cell " + ref() + " has the bad number " + v);
                cell.value = Value::number(number);
            }
        } else {
            x.invalid("cell " + ref() + " has the unknown type " + type);
        }

        if (has_f) {
            std::string_view text = trim(f);
            if (text.starts_with('=')) text.remove_prefix(1);
            if (f_type == "shared") {
                if (!text.empty()) {
                    shared[f_si] = SharedFormula{cell_row, column, std::string(text)};
                    cell.formula = utf8_to_utf16(text);
                } else if (auto it = shared.find(f_si); it != shared.end()) {
                    const std::string moved = shift_formula(
                        it->second.text, static_cast<std::int64_t>(cell_row) - it->second.row,
                        static_cast<std::int64_t>(column) - it->second.column);
                    cell.formula = utf8_to_utf16(moved);
                }
            } else if (f_type != "dataTable" && !text.empty()) {
                cell.formula = utf8_to_utf16(text);
            }
        }
        // A cell with nothing in it and the default style is no cell to Excel: not held, not
        // counted, however many the file lists.
        if (style == 0 && cell.value.is_empty() && !cell.formula) continue;
        if (++cells_ > max_cells_) {
            x.invalid("more than " + std::to_string(max_cells_) +
                      " cells; --max-cells raises the budget");
        }
        sheet.cells.insert_or_assign(cell_key(cell_row, column), std::move(cell));
    }
}

WorkbookData Reader::read(std::u16string name) {
    WorkbookData book;
    book.name = std::move(name);

    // The package relationships name the workbook part; fall back to the usual name.
    std::string workbook_part;
    for (const auto& r : read_relationships("")) {
        if (!r.external && ends_with_type(r.type, "officeDocument")) {
            workbook_part = r.target;
            break;
        }
    }
    if (workbook_part.empty()) workbook_part = "xl/workbook.xml";
    if (!zip_.contains(workbook_part)) throw XlsxError(workbook_part + " is missing");

    const std::vector<Relationship> rels = read_relationships(workbook_part);
    auto part_of_type = [&](std::string_view type, std::string_view fallback) {
        for (const auto& r : rels) {
            if (!r.external && ends_with_type(r.type, type)) return r.target;
        }
        const std::string guess = directory_of(workbook_part) + std::string(fallback);
        return zip_.contains(guess) ? guess : std::string();
    };

    std::vector<SheetEntry> sheet_entries;
    std::vector<RawName> raw_names;
    read_workbook(workbook_part, sheet_entries, raw_names);
    book.date1904 = date1904_;
    if (sheet_entries.empty()) throw XlsxError(workbook_part + ": the workbook has no sheets");

    if (const std::string part = part_of_type("sharedStrings", "sharedStrings.xml");
        !part.empty()) {
        read_shared_strings(part);
    }
    if (const std::string part = part_of_type("styles", "styles.xml"); !part.empty()) {
        read_styles(part);
    }

    std::unordered_map<std::string_view, const Relationship*> rel_by_id;
    for (const auto& r : rels)
        rel_by_id.emplace(r.id, &r);
    std::unordered_set<std::u16string> sheet_names;
    for (auto& entry : sheet_entries) {
        const auto found = rel_by_id.find(entry.rel_id);
        const Relationship* rel = found == rel_by_id.end() ? nullptr : found->second;
        if (rel == nullptr) {
            throw XlsxError(workbook_part + ": sheet '" + entry.name +
                            "' refers to the missing relationship " + entry.rel_id);
        }
        // Chart sheets, dialog sheets and macro sheets are no worksheets.
        if (!ends_with_type(rel->type, "worksheet")) continue;
        if (rel->external) {
            throw XlsxError(workbook_part + ": sheet '" + entry.name + "' is external");
        }
        SheetData sheet;
        sheet.name = utf8_to_utf16(entry.name);
        // Excel tells sheets by name, without regard to letter case.
        if (sheet.name.empty()) throw XlsxError(workbook_part + ": a sheet has an empty name");
        if (!sheet_names.insert(to_upper(sheet.name)).second) {
            throw XlsxError(workbook_part + ": two sheets are named '" + entry.name + "'");
        }
        read_sheet(rel->target, sheet);
        entry.index = book.sheets.size();
        book.sheets.push_back(std::move(sheet));
    }
    add_names(std::move(raw_names), sheet_entries, book);
    for (const auto& [text, unknown] : unknown_errors_) {
        notes_.push_back(unknown.first_cell + ": the error value " + text +
                         " is not one Excel's object model has a number for; read as #VALUE!" +
                         (unknown.cells > 1 ? " (in " + std::to_string(unknown.cells) + " cells)"
                                            : std::string()));
    }
    if (notes_left_out_ > 0) {
        notes_.push_back(std::to_string(notes_left_out_) + " more notes like these left out");
    }
    book.notes = std::move(notes_);
    return book;
}

void Reader::read_workbook(const std::string& part, std::vector<SheetEntry>& sheets,
                           std::vector<RawName>& names) {
    XmlReader x = open(part);
    for (auto e = x.next(); e != XmlReader::Event::Eof; e = x.next()) {
        if (e != XmlReader::Event::Start) continue;
        if (x.depth() == 1) {
            if (x.local_name() != "workbook") x.invalid("the root element is not <workbook>");
        } else if (x.depth() == 2 &&
                   (x.local_name() == "sheets" || x.local_name() == "definedNames")) {
            // their children follow
        } else if (x.depth() == 2 && x.local_name() == "workbookPr") {
            date1904_ = parse_bool_attr(x.attribute("date1904"));
            x.skip();
        } else if (x.depth() == 3 && x.local_name() == "sheet") {
            const std::string* sheet_name = x.attribute("name");
            const std::string* id = x.attribute("id");
            if (sheet_name == nullptr || id == nullptr) {
                x.invalid("a sheet without a name or relationship id");
            }
            sheets.push_back({*sheet_name, *id, std::nullopt});
            x.skip();
        } else if (x.depth() == 3 && x.local_name() == "definedName") {
            RawName raw;
            if (const std::string* n = x.attribute("name")) raw.name = *n;
            if (const std::string* local = x.attribute("localSheetId")) {
                std::uint64_t index = 0;
                raw.local_sheet = parse_uint(*local, index) ? index : UINT64_MAX;
            }
            x.append_text(raw.refers_to, max_name_formula);
            if (names.size() < max_names) {
                names.push_back(std::move(raw));
            } else {
                ++names_over_;
            }
        } else {
            x.skip();
        }
    }
}

// The workbook's defined names as formulas may use them. Built-in names (_xlnm.Print_Area,
// _xlnm._FilterDatabase, …) keep the name Excel shows and formulas use (Print_Area); a name
// that cannot be used (no valid name, no sheet of its scope, nothing it refers to, a second
// definition in one scope) is left out with a note, and the workbook is read all the same.
void Reader::add_names(std::vector<RawName> raw, const std::vector<SheetEntry>& sheets,
                       WorkbookData& book) {
    std::set<std::pair<std::u16string, std::size_t>> seen;  // upper-case name, scope
    for (RawName& r : raw) {
        std::string_view name = trim(r.name);
        if (name.starts_with("_xlnm.")) name.remove_prefix(6);
        std::string_view refers_to = trim(r.refers_to);
        if (refers_to.starts_with('=')) refers_to.remove_prefix(1);
        const std::string label = "the defined name '" + as_quoted(r.name) + "'";
        if (!is_name(name)) {
            note(label + " is no valid name; left out");
            continue;
        }
        std::optional<std::size_t> sheet;
        if (r.local_sheet) {
            if (*r.local_sheet >= sheets.size() ||
                !sheets[static_cast<std::size_t>(*r.local_sheet)].index) {
                note(label + " belongs to no worksheet; left out");
                continue;
            }
            sheet = sheets[static_cast<std::size_t>(*r.local_sheet)].index;
        }
        if (refers_to.empty() || refers_to.size() > max_name_formula) {
            note(label +
                 (refers_to.empty() ? " refers to nothing" : " refers to a formula too long") +
                 "; left out");
            continue;
        }
        const std::u16string upper = to_upper(utf8_to_utf16(name));
        if (!seen.emplace(upper, sheet ? *sheet + 1 : 0).second) {
            note(label + " is defined twice in one scope; the first is kept");
            continue;
        }
        book.names.push_back({utf8_to_utf16(name), sheet, utf8_to_utf16(refers_to)});
    }
    if (names_over_ > 0) {
        note(std::to_string(names_over_) + " defined names past the first " +
             std::to_string(max_names) + " left out");
    }
}

// ---------------------------------------------------------------------------------------------
// Formula references

bool is_token_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return is_letter(c) || is_digit(c) || c == '_' || c == '.' || c == '$' || c == '\\' ||
           c == '?' || u >= 0x80;
}

struct RefPart {
    bool column_absolute = false, row_absolute = false;
    std::int64_t column = 0, row = 0;  // 0 when the part has none
};

// Parses "$A$1", "A1", "$A", "A" or "$1", "1" (the whole token).
bool parse_ref_part(std::string_view t, RefPart& p) {
    std::size_t i = 0;
    p = RefPart{};
    if (i < t.size() && t[i] == '$') p.column_absolute = true, ++i;
    const std::size_t letters = i;
    while (i < t.size() && is_letter(t[i]) && i - letters < 4) {
        p.column = p.column * 26 + upper_value(t[i]);
        ++i;
    }
    if (i == letters) {
        // no column: a row-only part; a '$' read above belongs to the row
        p.row_absolute = p.column_absolute;
        p.column_absolute = false;
    } else if (i - letters > 3 || p.column > max_column) {
        return false;
    } else if (i < t.size() && t[i] == '$') {
        p.row_absolute = true, ++i;
    }
    const std::size_t digits = i;
    while (i < t.size() && is_digit(t[i]) && i - digits < 8) {
        p.row = p.row * 10 + (t[i] - '0');
        ++i;
    }
    if (i != t.size()) return false;
    if (i == digits && p.row_absolute) return false;  // "A$"
    if (i > digits && (p.row < 1 || p.row > max_row)) return false;
    return p.column != 0 || p.row != 0;
}

// Writes a shifted part; false when it leaves the grid.
bool write_ref_part(RefPart p, std::int64_t rows, std::int64_t columns, std::string& out) {
    const bool has_column = p.column != 0, has_row = p.row != 0;
    if (has_column && !p.column_absolute) p.column += columns;
    if (has_row && !p.row_absolute) p.row += rows;
    if (has_column && (p.column < 1 || p.column > max_column)) return false;
    if (has_row && (p.row < 1 || p.row > max_row)) return false;
    if (has_column) {
        if (p.column_absolute) out.push_back('$');
        out += column_name(p.column);
    }
    if (has_row) {
        if (p.row_absolute) out.push_back('$');
        out += std::to_string(p.row);
    }
    return true;
}

}  // namespace

std::string shift_formula(std::string_view f, std::int64_t rows, std::int64_t columns) {
    std::string out;
    out.reserve(f.size() + 8);
    std::size_t i = 0;
    while (i < f.size()) {
        const char c = f[i];
        if (c == '"' || c == '\'') {
            // A text literal or a quoted sheet name; a doubled quote stays inside.
            std::size_t j = i + 1;
            while (j < f.size()) {
                if (f[j] == c) {
                    if (j + 1 < f.size() && f[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            out.append(f.substr(i, j - i));
            i = j;
            continue;
        }
        if (c == '[') {
            // Structured references and external workbook indexes, brackets nested.
            std::size_t j = i, depth = 0;
            do {
                if (f[j] == '[') ++depth;
                if (f[j] == ']') --depth;
                ++j;
            } while (j < f.size() && depth > 0);
            out.append(f.substr(i, j - i));
            i = j;
            continue;
        }
        if (c == '#') {
            // An error literal such as #REF! or #N/A.
            std::size_t j = i + 1;
            while (j < f.size() && (is_letter(f[j]) || f[j] == '/' || f[j] == '0'))
                ++j;
            if (j < f.size() && (f[j] == '!' || f[j] == '?')) ++j;
            out.append(f.substr(i, j - i));
            i = j;
            continue;
        }
        if (!is_token_char(c)) {
            out.push_back(c);
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < f.size() && is_token_char(f[j]))
            ++j;
        const std::string_view token = f.substr(i, j - i);
        const char after = j < f.size() ? f[j] : '\0';
        RefPart first;
        if (after == '(' || after == '!' || after == '[' || !parse_ref_part(token, first)) {
            out.append(token);
            i = j;
            continue;
        }
        const bool full_cell = first.column != 0 && first.row != 0;
        if (!full_cell) {
            // A column or row alone is a reference only as one end of a range (A:C, 1:3).
            std::size_t k = j + 1;
            while (k < f.size() && is_token_char(f[k]))
                ++k;
            RefPart second;
            const bool range = after == ':' && k > j + 1 && (k >= f.size() || f[k] != '(') &&
                               parse_ref_part(f.substr(j + 1, k - j - 1), second) &&
                               (first.column != 0) == (second.column != 0) &&
                               (first.row != 0) == (second.row != 0);
            if (!range) {
                out.append(token);
                i = j;
                continue;
            }
            const std::size_t mark = out.size();
            if (write_ref_part(first, rows, columns, out) && (out.push_back(':'), true) &&
                write_ref_part(second, rows, columns, out)) {
            } else {
                out.resize(mark);
                out += "#REF!";
            }
            i = k;
            continue;
        }
        const std::size_t mark = out.size();
        if (!write_ref_part(first, rows, columns, out)) {
            out.resize(mark);
            out += "#REF!";
        }
        i = j;
    }
    return out;
}

bool iso_to_serial(std::string_view text, double& serial) {
    auto number = [&](std::size_t at, std::size_t digits, int& value) {
        if (at + digits > text.size()) return false;
        value = 0;
        for (std::size_t k = at; k < at + digits; ++k) {
            if (!is_digit(text[k])) return false;
            value = value * 10 + (text[k] - '0');
        }
        return true;
    };
    double days = 0;
    std::size_t i = 0;
    int year = 0, month = 0, day = 0;
    const bool has_date = text.size() >= 10 && text[4] == '-' && text[7] == '-';
    if (has_date) {
        if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day)) return false;
        static constexpr int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        if (month < 1 || month > 12 || day < 1 || day > month_days[month - 1]) return false;
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        if (month == 2 && day == 29 && !leap) return false;
        const auto ole = static_cast<double>(ole_days_of_civil(year, month, day));
        if (ole < 1) return false;  // before 1900-01-00, Excel's serial 0
        days = serial_of_ole(ole);
        i = 10;
        if (i < text.size()) {
            if (text[i] != 'T' && text[i] != ' ') return false;
            ++i;
            if (i == text.size()) return false;  // a separator without a time
        }
    }
    if (i < text.size()) {
        int h = 0, m = 0, s = 0;
        if (!number(i, 2, h) || i + 2 >= text.size() || text[i + 2] != ':' ||
            !number(i + 3, 2, m)) {
            return false;
        }
        i += 5;
        double seconds = 0;
        if (i < text.size() && text[i] == ':') {
            if (!number(i + 1, 2, s)) return false;
            seconds = s;
            i += 3;
            if (i < text.size() && text[i] == '.') {
                double scale = 0.1;
                ++i;
                if (i >= text.size() || !is_digit(text[i])) return false;
                while (i < text.size() && is_digit(text[i])) {
                    seconds += (text[i] - '0') * scale;
                    scale /= 10;
                    ++i;
                }
            }
        }
        if (i < text.size() && text[i] == 'Z') ++i;
        if (i != text.size() || h > 24 || m > 59 || s > 59 || (h == 24 && (m != 0 || s != 0))) {
            return false;
        }
        days += (h * 3600.0 + m * 60.0 + seconds) / 86400.0;
    } else if (!has_date) {
        return false;
    }
    serial = days;
    return true;
}

namespace {

WorkbookData read_labelled(std::span<const std::uint8_t> bytes, std::string_view name,
                           const std::string& label, std::uint64_t max_cells) {
    try {
        Reader reader(bytes, max_cells);
        return reader.read(utf8_to_utf16(name));
    } catch (const XlsxError& e) {
        throw XlsxError(label + ": " + e.what());
    } catch (const std::bad_alloc&) {
        throw XlsxError(label + ": out of memory");
    } catch (const std::exception& e) {
        // Nothing else is expected; still, callers get the one error type.
        throw XlsxError(label + ": " + e.what());
    }
}

}  // namespace

WorkbookData read_xlsx(std::span<const std::uint8_t> bytes, std::string_view name,
                       std::uint64_t max_cells) {
    return read_labelled(bytes, name, std::string(name), max_cells);
}

WorkbookData read_xlsx(const std::string& path, std::uint64_t max_cells) {
    std::filesystem::path file;
    std::vector<std::uint8_t> bytes;
    try {
        file = std::filesystem::path(std::u8string(path.begin(), path.end()));
        std::error_code ec;
        const auto size = std::filesystem::file_size(file, ec);
        if (ec) throw XlsxError(path + ": cannot open the file (" + ec.message() + ")");
        if (size > max_file_size) throw XlsxError(path + ": the file is too large");
        std::ifstream in(file, std::ios::binary);
        if (!in) throw XlsxError(path + ": cannot open the file");
        bytes.resize(static_cast<std::size_t>(size));
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (static_cast<std::uintmax_t>(in.gcount()) != size) {
            throw XlsxError(path + ": cannot read the file");
        }
    } catch (const XlsxError&) {
        throw;
    } catch (const std::exception& e) {
        // A path that is no valid UTF-8 or that the system cannot represent, memory, …
        throw XlsxError(path + ": cannot open the file (" + e.what() + ")");
    }
    const std::u8string base = file.filename().u8string();
    return read_labelled(bytes, std::string(base.begin(), base.end()), path, max_cells);
}

}  // namespace tb::standin
