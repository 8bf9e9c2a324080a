#include "standin/xlsx/xml.h"

#include <algorithm>
#include <cstdint>

namespace tb::standin {
namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_name_start(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u == ':' || u >= 0x80;
}

bool is_name_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return is_name_start(c) || (u >= '0' && u <= '9') || u == '-' || u == '.';
}

std::string_view local_part(std::string_view name) {
    const auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool is_xml_char(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at `i`; returns its length, or 0 when it is not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t& c) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t length;
    std::uint32_t min;
    if (b0 < 0x80) {
        c = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        length = 2, min = 0x80, c = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, min = 0x800, c = b0 & 0x0Fu;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, c = b0 & 0x07u;
    } else {
        return 0;
    }
    if (s.size() - i < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b & 0x3Fu);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

void append_utf16(std::u16string& out, std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char16_t>(b));
            ++i;
            continue;
        }
        std::uint32_t c = 0;
        const std::size_t n = decode_utf8(s, i, c);
        if (n == 0) {
            out.push_back(u'\uFFFD');
            ++i;
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
            i += n;
        } else {
            out.push_back(static_cast<char16_t>(c));
            i += n;
        }
    }
}

std::u16string utf8_to_utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    append_utf16(out, utf8);
    return out;
}

namespace {

// Bytes pulled from the source at a time; also how far the window may run ahead before the
// bytes already read are dropped.
constexpr std::size_t piece = 64u * 1024u;

}  // namespace

XmlReader::XmlReader(Source source, std::string part)
    : source_(std::move(source)), part_(std::move(part)) {
    ensure(3);
    if (buf_.size() >= 2 &&
        ((buf_[0] == '\xFE' && buf_[1] == '\xFF') || (buf_[0] == '\xFF' && buf_[1] == '\xFE'))) {
        fail_at(0, "UTF-16 documents are not supported");
    }
    if (buf_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    read_declaration();
}

XmlReader::XmlReader(std::string_view document, std::string part)
    : XmlReader(
          [document](char* out, std::size_t size) mutable {
              const std::size_t n = std::min(size, document.size());
              std::copy_n(document.data(), n, out);
              document.remove_prefix(n);
              return n;
          },
          std::move(part)) {}

void XmlReader::fail_offset(std::size_t offset, std::string_view problem) const {
    throw XlsxError("malformed XML in " + part_ + " at offset " + std::to_string(offset) + ": " +
                    std::string(problem));
}

void XmlReader::fail_at(std::size_t at, std::string_view problem) const {
    fail_offset(base_ + at, problem);
}

void XmlReader::fail(std::string_view problem) const {
    fail_at(pos_, problem);
}

void XmlReader::invalid(std::string_view problem) const {
    throw XlsxError(part_ + ": " + std::string(problem));
}

// Appends the next piece of the document to the window, checked; false at the document's end.
bool XmlReader::fill() {
    while (!source_done_) {
        const std::size_t old = buf_.size();
        buf_ += carry_;
        buf_.resize(old + carry_.size() + piece);
        const std::size_t n = source_(buf_.data() + old + carry_.size(), piece);
        buf_.resize(old + carry_.size() + n);
        carry_.clear();
        if (n == 0) source_done_ = true;
        check_encoding(old);
        if (buf_.size() > old) return true;
    }
    return false;
}

// Makes the window reach `end` (an index into it); false when the document ends before.
bool XmlReader::ensure(std::size_t end) {
    while (buf_.size() < end) {
        if (!fill()) return false;
    }
    return true;
}

// Drops what was read before the current position.
void XmlReader::compact() {
    if (pos_ < piece) return;
    buf_.erase(0, pos_);
    base_ += pos_;
    pos_ = 0;
}

// Checks the bytes from `from` on: valid UTF-8 of characters XML allows. A character cut at the
// end of the piece waits in carry_ for the rest.
void XmlReader::check_encoding(std::size_t from) {
    for (std::size_t i = from; i < buf_.size();) {
        const auto b = static_cast<unsigned char>(buf_[i]);
        if (b >= 0x20 && b < 0x80) {
            ++i;
            continue;
        }
        std::uint32_t c = 0;
        const std::size_t n = decode_utf8(buf_, i, c);
        if (n == 0 && !source_done_ && buf_.size() - i < 4) {
            carry_.assign(buf_, i);
            buf_.resize(i);
            return;
        }
        if (n == 0) fail_at(i, "invalid UTF-8");
        if (!is_xml_char(c)) fail_at(i, "character not allowed in XML");
        i += n;
    }
}

bool XmlReader::at(std::string_view s) {
    ensure(pos_ + s.size());
    return std::string_view(buf_).substr(pos_, s.size()) == s;
}

// The index of `pattern` at or after `from`, the window growing up to max_markup; npos when the
// document ends first.
std::size_t XmlReader::find(std::string_view pattern, std::size_t from) {
    for (;;) {
        const std::size_t found = buf_.find(pattern, from);
        if (found != std::string::npos) return found;
        if (buf_.size() - pos_ > max_markup)
            fail("markup longer than " + std::to_string(max_markup) + " bytes");
        if (buf_.size() >= pattern.size()) from = std::max(from, buf_.size() - pattern.size() + 1);
        if (!fill()) return std::string::npos;
    }
}

// Brings a whole tag (up to its '>' outside quoted values) into the window, so that reading it
// needs no more input; at the document's end, what there is.
void XmlReader::buffer_tag() {
    char quote = 0;
    std::size_t i = pos_ + 1;
    for (;;) {
        for (; i < buf_.size(); ++i) {
            const char c = buf_[i];
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                return;
            }
        }
        if (i - pos_ > max_markup)
            fail("a tag longer than " + std::to_string(max_markup) + " bytes");
        if (!fill()) return;
    }
}

// Appends the window's characters from the current position to `end` to `text` (when given),
// CRLF as LF (a CR whose LF is not yet in the window counts as a line break of its own), then
// cuts it to one byte past the limit of the text being collected.
void XmlReader::take_text(std::string* text, std::size_t end) {
    if (text == nullptr) return;
    for (std::size_t i = pos_; i < end; ++i) {
        if (buf_[i] == '\r') {
            if (i + 1 < buf_.size() && buf_[i + 1] == '\n') continue;
            text->push_back('\n');
        } else {
            text->push_back(buf_[i]);
        }
    }
    if (text->size() > text_limit_) text->resize(text_limit_ + 1);
}

// From inside a comment, processing instruction or CDATA section: reads past its terminator,
// the content appended to `text` (CRLF as LF) when given; the content read is dropped from the
// window as it goes.
void XmlReader::skip_past(std::string_view terminator, std::string_view problem,
                          std::string* text) {
    const std::size_t start = base_ + pos_;
    for (;;) {
        const std::size_t found = buf_.find(terminator, pos_);
        const std::size_t end = found != std::string::npos ? found
                                : buf_.size() >= terminator.size()
                                    ? std::max(pos_, buf_.size() - terminator.size() + 1)
                                    : pos_;
        take_text(text, end);
        if (found != std::string::npos) {
            pos_ = found + terminator.size();
            return;
        }
        // A CR at the end of what was taken is followed by the LF kept: counted once above.
        pos_ = end;
        compact();
        if (!fill()) fail_offset(start, problem);  // where the section began
    }
}

void XmlReader::read_declaration() {
    if (!at("<?xml") || !ensure(pos_ + 6) || !is_space(buf_[pos_ + 5])) return;
    const auto end = find("?>", pos_);
    if (end == std::string::npos) fail("unterminated XML declaration");
    const std::string_view decl = std::string_view(buf_).substr(pos_, end - pos_);
    if (const auto e = decl.find("encoding"); e != std::string_view::npos) {
        auto q = decl.find_first_of("\"'", e);
        if (q == std::string_view::npos) fail("bad encoding in the XML declaration");
        const auto close = decl.find(decl[q], q + 1);
        if (close == std::string_view::npos) fail("bad encoding in the XML declaration");
        std::string enc(decl.substr(q + 1, close - q - 1));
        for (char& c : enc) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        if (enc != "UTF-8" && enc != "UTF8") fail("unsupported encoding " + enc);
    }
    pos_ = end + 2;
}

void XmlReader::skip_space() {
    while (pos_ < buf_.size() && is_space(buf_[pos_]))
        ++pos_;
}

std::string_view XmlReader::read_name() {
    const std::size_t start = pos_;
    if (pos_ >= buf_.size() || !is_name_start(buf_[pos_])) fail("expected a name");
    ++pos_;
    while (pos_ < buf_.size() && is_name_char(buf_[pos_]))
        ++pos_;
    return std::string_view(buf_).substr(start, pos_ - start);
}

// At '&', with the reference in the window (a tag is whole in it; text ensures it first).
void XmlReader::read_reference(std::string* out) {
    const std::size_t start = pos_;
    const auto semi = buf_.find(';', pos_);
    if (semi == std::string::npos || semi - pos_ > 12) fail("unterminated entity reference");
    const std::string_view ref = std::string_view(buf_).substr(pos_ + 1, semi - pos_ - 1);
    pos_ = semi + 1;
    char plain = 0;
    if (ref == "lt") plain = '<';
    if (ref == "gt") plain = '>';
    if (ref == "amp") plain = '&';
    if (ref == "apos") plain = '\'';
    if (ref == "quot") plain = '"';
    if (plain != 0) {
        if (out != nullptr) out->push_back(plain);
        return;
    }
    if (ref.size() >= 2 && ref[0] == '#') {
        const bool hex = ref[1] == 'x';
        const std::string_view digits = ref.substr(hex ? 2 : 1);
        std::uint32_t c = 0;
        bool ok = !digits.empty() && digits.size() <= 8;
        for (char d : digits) {
            if (!ok) break;
            unsigned v;
            if (d >= '0' && d <= '9') {
                v = static_cast<unsigned>(d - '0');
            } else if (hex && d >= 'a' && d <= 'f') {
                v = static_cast<unsigned>(d - 'a' + 10);
            } else if (hex && d >= 'A' && d <= 'F') {
                v = static_cast<unsigned>(d - 'A' + 10);
            } else {
                ok = false;
                break;
            }
            c = c * (hex ? 16u : 10u) + v;
        }
        if (!ok) fail_at(start, "bad character reference &" + std::string(ref) + ";");
        if (!is_xml_char(c))
            fail_at(start, "character reference to a character not allowed in XML");
        if (out != nullptr) append_utf8(*out, c);
        return;
    }
    fail_at(start, "undefined entity &" + std::string(ref) + ";");
}

// Character data, comments, processing instructions and CDATA up to the next tag or the end of
// the document; the text goes to `text` when given.
void XmlReader::read_text_run(std::string* text) {
    for (;;) {
        compact();
        if (!ensure(pos_ + 1)) return;
        const char c = buf_[pos_];
        if (c == '<') {
            if (at("<![CDATA[")) {
                if (depth_ == 0) fail("CDATA outside the root element");
                pos_ += 9;
                skip_past("]]>", "unterminated CDATA section", text);
            } else if (at("<!--")) {
                pos_ += 4;
                skip_past("-->", "unterminated comment", nullptr);
            } else if (at("<?")) {
                const std::size_t start = pos_;
                pos_ += 2;
                ensure(pos_ + 4);
                const std::string_view target = read_name();
                if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
                    (target[2] | 0x20) == 'l') {
                    fail_at(start, "XML declaration not at the start of the document");
                }
                skip_past("?>", "unterminated processing instruction", nullptr);
            } else if (at("<!DOCTYPE")) {
                fail("document type declarations are not allowed");
            } else if (at("<!")) {
                fail("unexpected markup declaration");
            } else {
                return;
            }
        } else if (c == '&') {
            if (depth_ == 0) fail("text outside the root element");
            ensure(pos_ + 14);
            read_reference(text);
            take_text(text, pos_);  // nothing more: keeps the text within its limit
        } else {
            // A plain run up to the next markup or reference.
            std::size_t end = pos_;
            while (end < buf_.size() && buf_[end] != '<' && buf_[end] != '&')
                ++end;
            // A CR ending the window may be the first half of a CRLF: look further first.
            if (end == buf_.size() && buf_[end - 1] == '\r' && ensure(end + 1)) continue;
            if (depth_ == 0) {
                for (std::size_t i = pos_; i < end; ++i) {
                    if (!is_space(buf_[i])) fail_at(i, "text outside the root element");
                }
            } else {
                take_text(text, end);
            }
            pos_ = end;
        }
    }
}

void XmlReader::read_start_tag() {
    buffer_tag();
    const std::size_t start = pos_;
    ++pos_;  // '<'
    if (finished_) fail("a second root element");
    name_ = read_name();
    local_ = local_part(name_);
    attribute_count_ = 0;
    for (;;) {
        const std::size_t before_space = pos_;
        skip_space();
        if (pos_ >= buf_.size()) fail_at(start, "unterminated start tag");
        if (buf_[pos_] == '>') {
            ++pos_;
            break;
        }
        if (buf_[pos_] == '/') {
            if (pos_ + 1 >= buf_.size() || buf_[pos_ + 1] != '>') fail("expected '/>'");
            pos_ += 2;
            pending_end_ = true;
            break;
        }
        if (pos_ == before_space) fail("expected white space before an attribute");
        const std::string_view attr_name = read_name();
        skip_space();
        if (pos_ >= buf_.size() || buf_[pos_] != '=') fail("expected '=' after an attribute name");
        ++pos_;
        skip_space();
        if (pos_ >= buf_.size() || (buf_[pos_] != '"' && buf_[pos_] != '\'')) {
            fail("expected a quoted attribute value");
        }
        const char quote = buf_[pos_++];
        // Few attributes: compare with each; more: checked once the tag ends (sorted).
        if (attribute_count_ < 8) {
            for (std::size_t i = 0; i < attribute_count_; ++i) {
                if (attributes_[i].name == attr_name) {
                    fail("duplicate attribute " + std::string(attr_name));
                }
            }
        }
        if (attribute_count_ == max_attributes) fail("too many attributes");
        if (attribute_count_ == attributes_.size()) attributes_.emplace_back();
        Attribute& a = attributes_[attribute_count_++];
        a.name = attr_name;
        a.local = local_part(attr_name);
        a.value.clear();
        for (;;) {
            if (pos_ >= buf_.size()) fail("unterminated attribute value");
            const char c = buf_[pos_];
            if (c == quote) {
                ++pos_;
                break;
            }
            if (c == '<') fail("'<' in an attribute value");
            if (c == '&') {
                read_reference(&a.value);
                continue;
            }
            // White space in attribute values reads as a blank; CRLF counts once.
            if (c == '\r' && pos_ + 1 < buf_.size() && buf_[pos_ + 1] == '\n') ++pos_;
            a.value.push_back(is_space(c) ? ' ' : c);
            ++pos_;
        }
    }
    if (attribute_count_ > 8) {
        sorted_names_.clear();
        for (std::size_t i = 0; i < attribute_count_; ++i) {
            sorted_names_.push_back(attributes_[i].name);
        }
        std::sort(sorted_names_.begin(), sorted_names_.end());
        const auto dup = std::adjacent_find(sorted_names_.begin(), sorted_names_.end());
        if (dup != sorted_names_.end()) fail_at(start, "duplicate attribute " + std::string(*dup));
    }
    if (depth_ == max_depth) {
        fail_at(start, "elements nested deeper than " + std::to_string(max_depth));
    }
    if (depth_ == stack_.size()) stack_.emplace_back();
    stack_[depth_++].assign(name_);
    seen_root_ = true;
}

void XmlReader::read_end_tag() {
    find(">", pos_);
    const std::size_t start = pos_;
    pos_ += 2;  // "</"
    name_ = read_name();
    local_ = local_part(name_);
    skip_space();
    if (pos_ >= buf_.size() || buf_[pos_] != '>') fail("expected '>' to end the end tag");
    ++pos_;
    if (depth_ == 0) fail_at(start, "end tag </" + std::string(name_) + "> without a start");
    if (stack_[depth_ - 1] != name_) {
        fail_at(start, "end tag </" + std::string(name_) + "> does not match <" +
                           stack_[depth_ - 1] + ">");
    }
    attribute_count_ = 0;
}

XmlReader::Event XmlReader::next() {
    return next_event(nullptr);
}

XmlReader::Event XmlReader::next_event(std::string* text) {
    if (pending_end_) {
        pending_end_ = false;
        --depth_;
        if (depth_ == 0) finished_ = true;
        attribute_count_ = 0;
        return Event::End;
    }
    for (;;) {
        compact();
        if (!ensure(pos_ + 1)) {
            if (depth_ != 0) {
                fail("unexpected end of document inside <" + stack_[depth_ - 1] + ">");
            }
            if (!seen_root_) fail("no root element");
            return Event::Eof;
        }
        if (buf_[pos_] != '<' || at("<!") || at("<?")) {
            read_text_run(text);
            continue;
        }
        if (at("</")) {
            read_end_tag();
            --depth_;
            if (depth_ == 0) finished_ = true;
            return Event::End;
        }
        read_start_tag();
        return Event::Start;
    }
}

const std::string* XmlReader::attribute(std::string_view local) const {
    for (std::size_t i = 0; i < attribute_count_; ++i) {
        const Attribute& a = attributes_[i];
        if (a.local == local && a.name != "xmlns" && !a.name.starts_with("xmlns:")) return &a.value;
    }
    return nullptr;
}

void XmlReader::skip() {
    const std::size_t depth = depth_;
    for (;;) {
        const Event e = next();
        if (e == Event::End && depth_ < depth) return;
        if (e == Event::Eof) fail("unexpected end of document");
    }
}

void XmlReader::append_text(std::string& out, std::size_t limit) {
    const std::size_t depth = depth_;
    text_limit_ = out.size() + std::min(limit, SIZE_MAX - out.size() - 1);
    for (;;) {
        const Event e = next_event(&out);
        if (e == Event::End && depth_ < depth) return;
        if (e == Event::Eof) fail("unexpected end of document");
    }
}

std::string XmlReader::read_text() {
    std::string out;
    append_text(out);
    return out;
}

}  // namespace tb::standin
