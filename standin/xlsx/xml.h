// A small, strict XML pull parser for the parts of an .xlsx package. It reads UTF-8 documents
// (a UTF-8 byte order mark and an XML declaration naming UTF-8 are allowed), elements and
// attributes (matched on their local names, whatever their namespace prefix), text with the five
// predefined entities, numeric character references and CDATA sections; it skips comments and
// processing instructions, and refuses document type declarations. Everything that is not
// well-formed throws XlsxError naming the part and the byte offset.
//
// The document is pulled from a source piece by piece and only a window of it is held: the
// markup being read (a tag up to max_markup bytes) and the text being collected. Text is kept
// only where the caller asks for it (append_text), so blanks or comments between elements cost
// no memory however long they run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "standin/xlsx/zip.h"

namespace tb::standin {

class XmlReader {
  public:
    static constexpr std::size_t max_depth = 256;
    static constexpr std::size_t max_attributes = 512;
    // The longest tag, comment or processing instruction held at once.
    static constexpr std::size_t max_markup = 4u << 20;
    // Gives up to `size` bytes of the document into `out`; 0 at its end.
    using Source = std::function<std::size_t(char* out, std::size_t size)>;

    enum class Event {
        Start,  // an element's start tag (an empty element gives Start, then End)
        End,    // an element's end
        Eof,    // the end of the document, after the root element closed
    };

    // `part` names the document in error messages.
    XmlReader(Source source, std::string part);
    // A document held in memory, which must outlive the reader.
    XmlReader(std::string_view document, std::string part);

    // The next start or end of an element; character data between them is checked and dropped.
    Event next();

    // The current element (after Start or End), valid until the next call.
    std::string_view name() const { return name_; }
    std::string_view local_name() const { return local_; }
    // An attribute of the current start tag by local name (namespace declarations excluded);
    // nullptr when absent. The value has its entities decoded.
    const std::string* attribute(std::string_view local) const;
    // Elements open, counting the current one after Start (the root is depth 1).
    std::size_t depth() const { return depth_; }
    // Byte offset in the document of the current position.
    std::size_t offset() const { return base_ + pos_; }

    // After Start: skips the element's content, ending on its End.
    void skip();
    // After Start: the concatenated text of the element and its descendants (entities decoded,
    // CRLF as LF), ending on its End.
    std::string read_text();
    // After Start: the same, appended to `out`; past `limit` bytes the rest is dropped but for
    // one byte, so that the caller can tell text that did not fit.
    void append_text(std::string& out, std::size_t limit = SIZE_MAX);

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

    Event next_event(std::string* text);
    bool fill();
    bool ensure(std::size_t end);
    void compact();
    void check_encoding(std::size_t from);
    std::size_t find(std::string_view pattern, std::size_t from);
    void buffer_tag();
    void take_text(std::string* text, std::size_t end);
    void skip_past(std::string_view terminator, std::string_view problem, std::string* text);
    void read_declaration();
    void read_text_run(std::string* text);
    void read_start_tag();
    void read_end_tag();
    std::string_view read_name();
    void read_reference(std::string* out);
    void skip_space();
    bool at(std::string_view s);
    [[noreturn]] void fail_at(std::size_t at, std::string_view problem) const;  // at: in buf_
    [[noreturn]] void fail_offset(std::size_t offset, std::string_view problem) const;

    Source source_;
    std::string part_;
    std::string buf_;    // the window of the document held: from offset base_ on
    std::string carry_;  // the start of a character the last piece cut, checked with the next
    std::size_t base_ = 0;
    std::size_t pos_ = 0;                // in buf_
    std::size_t text_limit_ = SIZE_MAX;  // of the text being collected
    bool source_done_ = false;
    std::vector<std::string> stack_;  // names of the open elements; the first depth_ count
    std::size_t depth_ = 0;
    std::vector<Attribute> attributes_;
    std::size_t attribute_count_ = 0;
    std::vector<std::string_view> sorted_names_;
    std::string_view name_;
    std::string_view local_;
    bool pending_end_ = false;
    bool seen_root_ = false;
    bool finished_ = false;
};

// UTF-8 (as XmlReader hands it out, so already validated) to UTF-16. Invalid sequences become
// U+FFFD rather than failing.
std::u16string utf8_to_utf16(std::string_view utf8);
void append_utf16(std::u16string& out, std::string_view utf8);

}  // namespace tb::standin
