// A small, strict XML pull parser for the parts of an .xlsx package. It reads UTF-8 documents
// (a UTF-8 byte order mark and an XML declaration naming UTF-8 are allowed), elements and
// attributes (matched on their local names, whatever their namespace prefix), text with the five
// predefined entities, numeric character references and CDATA sections; it skips comments and
// processing instructions, and refuses document type declarations. Everything that is not
// well-formed throws XlsxError naming the part and the byte offset.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "standin/xlsx/zip.h"

namespace tb::standin {

class XmlReader {
  public:
    static constexpr std::size_t max_depth = 256;
    static constexpr std::size_t max_attributes = 512;

    enum class Event {
        Start,  // an element's start tag (an empty element gives Start, then End)
        End,    // an element's end
        Text,   // character data between tags (entities decoded, CRLF as LF), never empty
        Eof,    // the end of the document, after the root element closed
    };

    // The document must outlive the reader. `part` names it in error messages.
    XmlReader(std::string_view document, std::string part);

    Event next();

    // The current element (after Start or End).
    std::string_view name() const { return name_; }
    std::string_view local_name() const { return local_; }
    // An attribute of the current start tag by local name (namespace declarations excluded);
    // nullptr when absent. The value has its entities decoded.
    const std::string* attribute(std::string_view local) const;
    // The character data of the current Text event, as UTF-8.
    const std::string& text() const { return text_; }
    // Elements open, counting the current one after Start (the root is depth 1).
    std::size_t depth() const { return stack_.size(); }
    // Byte offset in the document of the current position.
    std::size_t offset() const { return pos_; }

    // After Start: skips the element's content, ending on its End.
    void skip();
    // After Start: the concatenated text of the element and its descendants, ending on its End.
    std::string read_text();
    // After Start: the same, appended to `out`.
    void append_text(std::string& out);

    // Throws XlsxError "malformed XML in PART at offset N: problem".
    [[noreturn]] void fail(std::string_view problem) const;
    // Throws XlsxError "PART: problem" for content that is well-formed but not what it should be.
    [[noreturn]] void invalid(std::string_view problem) const;

    const std::string& part() const { return part_; }

  private:
    struct Attribute {
        std::string_view name;
        std::string_view local;
        std::string value;
    };

    void validate_encoding();
    void read_declaration();
    void read_text_run();
    void read_start_tag();
    void read_end_tag();
    std::string_view read_name();
    void read_reference(std::string& out);
    void skip_space();
    bool at(std::string_view s) const { return doc_.substr(pos_, s.size()) == s; }
    [[noreturn]] void fail_at(std::size_t at, std::string_view problem) const;

    std::string_view doc_;
    std::string part_;
    std::size_t pos_ = 0;
    std::vector<std::string_view> stack_;
    std::vector<Attribute> attributes_;
    std::size_t attribute_count_ = 0;
    std::vector<std::string_view> sorted_names_;
    std::string_view name_;
    std::string_view local_;
    std::string text_;
    bool pending_end_ = false;
    bool seen_root_ = false;
    bool finished_ = false;
};

// UTF-8 (as XmlReader hands it out, so already validated) to UTF-16. Invalid sequences become
// U+FFFD rather than failing.
std::u16string utf8_to_utf16(std::string_view utf8);
void append_utf16(std::u16string& out, std::string_view utf8);

}  // namespace tb::standin
