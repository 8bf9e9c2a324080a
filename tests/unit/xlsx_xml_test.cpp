// The XML pull parser: the events it gives for well-formed documents, and a clear error naming
// the part and offset for each kind of malformed one.
#include <gtest/gtest.h>

#include "standin/xlsx/xml.h"

namespace tb::standin {
namespace {

// The events of a document as "<name a=v>", "text", "</name>".
std::string events(std::string_view doc) {
    XmlReader x(doc, "t.xml");
    std::string out;
    for (auto e = x.next(); e != XmlReader::Event::Eof; e = x.next()) {
        if (e == XmlReader::Event::Start) {
            out += "<" + std::string(x.local_name());
            for (const char* a : {"a", "b", "space"}) {
                if (const std::string* v = x.attribute(a)) out += std::string(" ") + a + "=" + *v;
            }
            out += ">";
        } else if (e == XmlReader::Event::End) {
            out += "</" + std::string(x.local_name()) + ">";
        } else {
            out += "[" + x.text() + "]";
        }
    }
    return out;
}

TEST(XlsxXml, WellFormedDocuments) {
    const struct {
        const char* doc;
        const char* events;
    } cases[] = {
        {"<r a=\"1\" b='two'>hi</r>", "<r a=1 b=two>[hi]</r>"},
        {"<r><e/><e a='x'/></r>", "<r><e></e><e a=x></e></r>"},
        {"<r>&lt;&gt;&amp;&apos;&quot;&#65;&#x42;&#xe9;</r>", "<r>[<>&'\"AB\xC3\xA9]</r>"},
        {"<r>x<!-- c -->y<![CDATA[<z>&amp;]]><?pi data?>w</r>", "<r>[xy<z>&amp;w]</r>"},
        {"<p:r xmlns:p='urn:p' xmlns:a='urn:a' p:a='1' xml:space='preserve'><p:c/></p:r>",
         "<r a=1 space=preserve><c></c></r>"},
        {"<r a='x&#10;y\r\nz\tw'>l1\r\nl2\rl3</r>", "<r a=x\ny z w>[l1\nl2\nl3]</r>"},
        {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n<r/>\n",
         "<r></r>"},
        {"<!-- before --><?pi?>\n<r>\n <c>1</c>\n</r><!-- after -->", "<r>[\n ]<c>[1]</c>[\n]</r>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.doc);
        EXPECT_EQ(events(c.doc), c.events);
    }
}

TEST(XlsxXml, TextHelpersAndUtf16) {
    XmlReader x("<r><t>a<b>b</b>c</t><s>skipped<deep/></s><u/></r>", "t.xml");
    ASSERT_EQ(x.next(), XmlReader::Event::Start);
    ASSERT_EQ(x.next(), XmlReader::Event::Start);
    EXPECT_EQ(x.read_text(), "abc");
    ASSERT_EQ(x.next(), XmlReader::Event::Start);
    x.skip();
    ASSERT_EQ(x.next(), XmlReader::Event::Start);
    EXPECT_EQ(x.local_name(), "u");
    EXPECT_EQ(utf8_to_utf16("a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"), u"a\u00e9\u65e5\U0001F600");
}

TEST(XlsxXml, MalformedDocumentsGiveClearErrors) {
    std::string nested;
    for (int i = 0; i < 300; ++i)
        nested += "<a>";
    const struct {
        std::string doc;
        const char* message;
    } cases[] = {
        {"", "at offset 0: no root element"},
        {"<a>", "unexpected end of document inside <a>"},
        {"<a></b>", "at offset 3: end tag </b> does not match <a>"},
        {"</a>", "without a start"},
        {"<a/><b/>", "a second root element"},
        {"text<a/>", "at offset 0: text outside the root element"},
        {"<!DOCTYPE a [<!ENTITY x 'y'>]><a/>", "document type declarations are not allowed"},
        {"<a><!DOCTYPE a></a>", "document type declarations are not allowed"},
        {"<a>&foo;</a>", "undefined entity &foo;"},
        {"<a>&amp</a>", "unterminated entity reference"},
        {"<a>&#0;</a>", "character reference to a character not allowed"},
        {"<a>&#xD800;</a>", "character reference to a character not allowed"},
        {"<a>&#x110000;</a>", "character reference to a character not allowed"},
        {"<a>&#12a;</a>", "bad character reference"},
        {"<a x=1/>", "expected a quoted attribute value"},
        {"<a x='1' x='2'/>", "duplicate attribute x"},
        {"<a a='' b='' c='' d='' e='' f='' g='' h='' i='' j='' c=''/>", "duplicate attribute c"},
        {"<a x='<'/>", "'<' in an attribute value"},
        {"<a x='1'y='2'/>", "expected white space before an attribute"},
        {"<a x/>", "expected '=' after an attribute name"},
        {"<a x='1", "unterminated attribute value"},
        {"<1a/>", "expected a name"},
        {"<a>\xC3\x28</a>", "at offset 3: invalid UTF-8"},
        {"<a>\xC0\xAF</a>", "invalid UTF-8"},
        {"<a>\xED\xA0\x80</a>", "invalid UTF-8"},
        {"<a>\xF4\x90\x80\x80</a>", "invalid UTF-8"},
        {"<a>\x01</a>", "character not allowed in XML"},
        {std::string("<a>\0</a>", 8), "character not allowed in XML"},
        {nested, "elements nested deeper than 256"},
        {"<a><![CDATA[x</a>", "unterminated CDATA section"},
        {"<a><!--x</a>", "unterminated comment"},
        {"<a><?pi </a>", "unterminated processing instruction"},
        {"\xFF\xFE<\0a\0/\0>\0", "UTF-16 documents are not supported"},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><a/>", "unsupported encoding ISO-8859-1"},
        {"<a/><?xml version='1.0'?>", "XML declaration not at the start"},
        {"<a><![CDATA[x]]></a>&amp;", "text outside the root element"},
        {"<a>x</a >y", "text outside the root element"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.doc);
        try {
            XmlReader x(c.doc, "xl/t.xml");
            while (x.next() != XmlReader::Event::Eof) {
            }
            ADD_FAILURE() << "no error";
        } catch (const XlsxError& e) {
            const std::string what = e.what();
            EXPECT_TRUE(what.starts_with("malformed XML in xl/t.xml at offset ")) << what;
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
        }
    }
}

}  // namespace
}  // namespace tb::standin
