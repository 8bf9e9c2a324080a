// Builds small .xlsx packages in memory (stored or deflated entries with correct checksums) for the
// reader's tests and its fuzz target, so that a test can change or drop one part.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tb::test {

// Raw deflate (no zlib header), as zip entries hold it.
inline std::string deflated(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Zips (name, data) pairs, stored or deflated; the archive has no comment.
template <class Parts>
std::vector<std::uint8_t> zip_parts(const Parts& parts, bool deflate = false) {
    std::vector<std::uint8_t> zip, central;
    const auto put = [](std::vector<std::uint8_t>& b, std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    std::uint64_t count = 0;
    for (const auto& [name, data] : parts) {
        const std::uint64_t crc =
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
        const std::string stored = deflate ? deflated(std::string(data)) : std::string(data);
        const std::uint64_t offset = zip.size();
        for (auto* b : {&zip, &central}) {
            const bool in_directory = b == &central;
            put(*b, in_directory ? 0x02014b50 : 0x04034b50, 4);
            if (in_directory) put(*b, 20, 2);  // made by
            put(*b, 20, 2), put(*b, 0, 2);     // needed to extract, no flags
            put(*b, deflate ? 8 : 0, 2);       // deflated or stored
            put(*b, 0x00210000, 4);            // 1980-01-01 00:00
            put(*b, crc, 4), put(*b, stored.size(), 4), put(*b, data.size(), 4);
            put(*b, name.size(), 2), put(*b, 0, 2);  // no extra field
            if (in_directory) put(*b, 0, 6), put(*b, 0, 4), put(*b, offset, 4);
            b->insert(b->end(), name.begin(), name.end());
        }
        zip.insert(zip.end(), stored.begin(), stored.end());
        ++count;
    }
    const std::uint64_t directory = zip.size();
    zip.insert(zip.end(), central.begin(), central.end());
    put(zip, 0x06054b50, 4), put(zip, 0, 4), put(zip, count, 2), put(zip, count, 2);
    put(zip, central.size(), 4), put(zip, directory, 4), put(zip, 0, 2);
    return zip;
}

// The parts of a one-sheet workbook ("Sheet1") whose sheetData holds `sheet_data` (rows and cells
// XML); tests change or drop parts before zipping them.
inline std::map<std::string, std::string> book_parts(const std::string& sheet_data) {
    const std::string main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
    const std::string rels =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/"
        "2006/relationships\"><Relationship Id=\"rId1\" Type=\"" +
        rel;
    return {
        {"_rels/.rels", rels + "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>"},
        {"xl/workbook.xml", "<workbook xmlns=\"" + main + "\" xmlns:r=\"" + rel +
                                "\"><sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/>"
                                "</sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         rels + "/worksheet\" Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId2\" Type=\"" +
             rel +
             "/sharedStrings\" Target=\"sharedStrings.xml\"/><Relationship Id=\"rId3\" Type=\"" +
             rel + "/styles\" Target=\"styles.xml\"/></Relationships>"},
        {"xl/sharedStrings.xml",
         "<sst xmlns=\"" + main + "\"><si><t>first</t></si><si><t>second</t></si></sst>"},
        {"xl/styles.xml",
         "<styleSheet xmlns=\"" + main +
             "\"><numFmts><numFmt numFmtId=\"164\" formatCode=\"0.000\"/></numFmts>"
             "<cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"2\"/><xf numFmtId=\"164\"/>"
             "<xf numFmtId=\"14\"/></cellXfs></styleSheet>"},
        {"xl/worksheets/sheet1.xml",
         "<worksheet xmlns=\"" + main + "\"><sheetData>" + sheet_data + "</sheetData></worksheet>"},
    };
}

}  // namespace tb::test
