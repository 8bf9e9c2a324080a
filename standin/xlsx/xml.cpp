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

XmlReader::XmlReader(std::string_view document, std::string part)
    : doc_(document), part_(std::move(part)) {
    if (doc_.size() >= 2 &&
        ((doc_[0] == '\xFE' && doc_[1] == '\xFF') || (doc_[0] == '\xFF' && doc_[1] == '\xFE'))) {
        fail_at(0, "UTF-16 documents are not supported");
    }
    if (doc_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    validate_encoding();
    read_declaration();
}

void XmlReader::fail_at(std::size_t at, std::string_view problem) const {
    throw XlsxError("malformed XML in " + part_ + " at offset " + std::to_string(at) + ": " +
                    std::string(problem));
}

void XmlReader::fail(std::string_view problem) const {
    fail_at(pos_, problem);
}

void XmlReader::invalid(std::string_view problem) const {
    throw XlsxError(part_ + ": " + std::string(problem));
}

void XmlReader::validate_encoding() {
    for (std::size_t i = pos_; i < doc_.size();) {
        const auto b = static_cast<unsigned char>(doc_[i]);
        if (b >= 0x20 && b < 0x80) {
            ++i;
            continue;
        }
        std::uint32_t c = 0;
        const std::size_t n = decode_utf8(doc_, i, c);
        if (n == 0) fail_at(i, "invalid UTF-8");
        if (!is_xml_char(c)) fail_at(i, "character not allowed in XML");
        i += n;
    }
}

void XmlReader::read_declaration() {
    if (!at("<?xml") || pos_ + 5 >= doc_.size() || !is_space(doc_[pos_ + 5])) return;
    const auto end = doc_.find("?>", pos_);
    if (end == std::string_view::npos) fail("unterminated XML declaration");
    const std::string_view decl = doc_.substr(pos_, end - pos_);
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
    while (pos_ < doc_.size() && is_space(doc_[pos_]))
        ++pos_;
}

std::string_view XmlReader::read_name() {
    const std::size_t start = pos_;
    if (pos_ >= doc_.size() || !is_name_start(doc_[pos_])) fail("expected a name");
    ++pos_;
    while (pos_ < doc_.size() && is_name_char(doc_[pos_]))
        ++pos_;
    return doc_.substr(start, pos_ - start);
}

void XmlReader::read_reference(std::string& out) {
    const std::size_t start = pos_;  // at '&'
    const auto semi = doc_.find(';', pos_);
    if (semi == std::string_view::npos || semi - pos_ > 12) fail("unterminated entity reference");
    const std::string_view ref = doc_.substr(pos_ + 1, semi - pos_ - 1);
    pos_ = semi + 1;
    if (ref == "lt") return out.push_back('<');
    if (ref == "gt") return out.push_back('>');
    if (ref == "amp") return out.push_back('&');
    if (ref == "apos") return out.push_back('\'');
    if (ref == "quot") return out.push_back('"');
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
        return append_utf8(out, c);
    }
    fail_at(start, "undefined entity &" + std::string(ref) + ";");
}

void XmlReader::read_text_run() {
    text_.clear();
    while (pos_ < doc_.size()) {
        const char c = doc_[pos_];
        if (c == '<') {
            if (at("<![CDATA[")) {
                if (stack_.empty()) fail("CDATA outside the root element");
                const auto end = doc_.find("]]>", pos_ + 9);
                if (end == std::string_view::npos) fail("unterminated CDATA section");
                for (std::size_t i = pos_ + 9; i < end; ++i) {
                    if (doc_[i] == '\r') {
                        if (i + 1 < end && doc_[i + 1] == '\n') continue;
                        text_.push_back('\n');
                    } else {
                        text_.push_back(doc_[i]);
                    }
                }
                pos_ = end + 3;
            } else if (at("<!--")) {
                const auto end = doc_.find("-->", pos_ + 4);
                if (end == std::string_view::npos) fail("unterminated comment");
                pos_ = end + 3;
            } else if (at("<?")) {
                const std::size_t start = pos_;
                pos_ += 2;
                const std::string_view target = read_name();
                if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
                    (target[2] | 0x20) == 'l') {
                    fail_at(start, "XML declaration not at the start of the document");
                }
                const auto end = doc_.find("?>", pos_);
                if (end == std::string_view::npos) fail("unterminated processing instruction");
                pos_ = end + 2;
            } else if (at("<!DOCTYPE")) {
                fail("document type declarations are not allowed");
            } else if (at("<!")) {
                fail("unexpected markup declaration");
            } else {
                break;
            }
        } else if (c == '&') {
            if (stack_.empty()) fail("text outside the root element");
            read_reference(text_);
        } else {
            // A plain run up to the next markup or reference.
            std::size_t end = pos_;
            while (end < doc_.size() && doc_[end] != '<' && doc_[end] != '&')
                ++end;
            if (stack_.empty()) {
                for (std::size_t i = pos_; i < end; ++i) {
                    if (!is_space(doc_[i])) fail_at(i, "text outside the root element");
                }
            } else {
                for (std::size_t i = pos_; i < end; ++i) {
                    if (doc_[i] == '\r') {
                        if (i + 1 < end && doc_[i + 1] == '\n') continue;
                        text_.push_back('\n');
                    } else {
                        text_.push_back(doc_[i]);
                    }
                }
            }
            pos_ = end;
        }
    }
    if (stack_.empty()) text_.clear();
}

void XmlReader::read_start_tag() {
    const std::size_t start = pos_;
    ++pos_;  // '<'
    if (finished_) fail("a second root element");
    name_ = read_name();
    local_ = local_part(name_);
    attribute_count_ = 0;
    for (;;) {
        const std::size_t before_space = pos_;
        skip_space();
        if (pos_ >= doc_.size()) fail_at(start, "unterminated start tag");
        if (doc_[pos_] == '>') {
            ++pos_;
            break;
        }
        if (doc_[pos_] == '/') {
            if (pos_ + 1 >= doc_.size() || doc_[pos_ + 1] != '>') fail("expected '/>'");
            pos_ += 2;
            pending_end_ = true;
            break;
        }
        if (pos_ == before_space) fail("expected white space before an attribute");
        const std::string_view attr_name = read_name();
        skip_space();
        if (pos_ >= doc_.size() || doc_[pos_] != '=') fail("expected '=' after an attribute name");
        ++pos_;
        skip_space();
        if (pos_ >= doc_.size() || (doc_[pos_] != '"' && doc_[pos_] != '\'')) {
            fail("expected a quoted attribute value");
        }
        const char quote = doc_[pos_++];
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
            if (pos_ >= doc_.size()) fail("unterminated attribute value");
            const char c = doc_[pos_];
            if (c == quote) {
                ++pos_;
                break;
            }
            if (c == '<') fail("'<' in an attribute value");
            if (c == '&') {
                read_reference(a.value);
                continue;
            }
            // White space in attribute values reads as a blank; CRLF counts once.
            if (c == '\r' && pos_ + 1 < doc_.size() && doc_[pos_ + 1] == '\n') ++pos_;
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
    if (stack_.size() == max_depth) {
        fail_at(start, "elements nested deeper than " + std::to_string(max_depth));
    }
    stack_.push_back(name_);
    seen_root_ = true;
}

void XmlReader::read_end_tag() {
    const std::size_t start = pos_;
    pos_ += 2;  // "</"
    name_ = read_name();
    local_ = local_part(name_);
    skip_space();
    if (pos_ >= doc_.size() || doc_[pos_] != '>') fail("expected '>' to end the end tag");
    ++pos_;
    if (stack_.empty()) fail_at(start, "end tag </" + std::string(name_) + "> without a start");
    if (stack_.back() != name_) {
        fail_at(start, "end tag </" + std::string(name_) + "> does not match <" +
                           std::string(stack_.back()) + ">");
    }
    attribute_count_ = 0;
}

XmlReader::Event XmlReader::next() {
    if (pending_end_) {
        pending_end_ = false;
        stack_.pop_back();
        if (stack_.empty()) finished_ = true;
        attribute_count_ = 0;
        return Event::End;
    }
    for (;;) {
        if (pos_ >= doc_.size()) {
            if (!stack_.empty()) {
                fail("unexpected end of document inside <" + std::string(stack_.back()) + ">");
            }
            if (!seen_root_) fail("no root element");
            return Event::Eof;
        }
        if (doc_[pos_] != '<' || at("<!") || at("<?")) {
            read_text_run();
            if (!text_.empty()) return Event::Text;
            continue;
        }
        if (at("</")) {
            read_end_tag();
            stack_.pop_back();
            if (stack_.empty()) finished_ = true;
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
    const std::size_t depth = stack_.size();
    for (;;) {
        const Event e = next();
        if (e == Event::End && stack_.size() < depth) return;
        if (e == Event::Eof) fail("unexpected end of document");
    }
}

void XmlReader::append_text(std::string& out) {
    const std::size_t depth = stack_.size();
    for (;;) {
        const Event e = next();
        if (e == Event::Text) out += text_;
        if (e == Event::End && stack_.size() < depth) return;
        if (e == Event::Eof) fail("unexpected end of document");
    }
}

std::string XmlReader::read_text() {
    std::string out;
    append_text(out);
    return out;
}

}  // namespace tb::standin
