// Builds small .xlsx packages in memory for the reader's tests, so that a test can change or
// drop one part.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tb::test {

struct ZipPart {
    std::string name;
    std::string data;
    bool deflate = true;
};

inline void put16(std::vector<std::uint8_t>& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
inline void put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline std::string raw_deflate(const std::string& in) {
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(in.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The archive has no comment, so the end-of-central-directory record is its last 22 bytes.
inline std::vector<std::uint8_t> make_zip(const std::vector<ZipPart>& parts) {
    std::vector<std::uint8_t> out, central;
    for (const auto& p : parts) {
        const std::string data = p.deflate ? raw_deflate(p.data) : p.data;
        const auto crc = static_cast<std::uint32_t>(crc32(
            0, reinterpret_cast<const Bytef*>(p.data.data()), static_cast<uInt>(p.data.size())));
        const auto offset = static_cast<std::uint32_t>(out.size());
        const auto name_len = static_cast<std::uint32_t>(p.name.size());
        const std::uint32_t method = p.deflate ? 8 : 0;
        put32(out, 0x04034b50);
        put16(out, 20), put16(out, 0), put16(out, method), put16(out, 0), put16(out, 0x21);
        put32(out, crc), put32(out, static_cast<std::uint32_t>(data.size()));
        put32(out, static_cast<std::uint32_t>(p.data.size()));
        put16(out, name_len), put16(out, 0);
        out.insert(out.end(), p.name.begin(), p.name.end());
        out.insert(out.end(), data.begin(), data.end());

        put32(central, 0x02014b50);
        put16(central, 20), put16(central, 20), put16(central, 0), put16(central, method);
        put16(central, 0), put16(central, 0x21);
        put32(central, crc), put32(central, static_cast<std::uint32_t>(data.size()));
        put32(central, static_cast<std::uint32_t>(p.data.size()));
        put16(central, name_len), put16(central, 0), put16(central, 0);
        put16(central, 0), put16(central, 0), put32(central, 0), put32(central, offset);
        central.insert(central.end(), p.name.begin(), p.name.end());
    }
    const auto cd_offset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    put32(out, 0x06054b50);
    put16(out, 0), put16(out, 0);
    put16(out, static_cast<std::uint32_t>(parts.size()));
    put16(out, static_cast<std::uint32_t>(parts.size()));
    put32(out, static_cast<std::uint32_t>(central.size())), put32(out, cd_offset);
    put16(out, 0);
    return out;
}

inline const char* const ns_main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

// The parts of a one-sheet workbook ("Sheet1") whose sheetData holds `cells` (rows and cells
// XML); tests change or drop parts before zipping them.
inline std::map<std::string, std::string> book_parts(const std::string& sheet_data) {
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
    const std::string pkg = "http://schemas.openxmlformats.org/package/2006/relationships";
    std::map<std::string, std::string> parts;
    parts["_rels/.rels"] = "<Relationships xmlns=\"" + pkg +
                           "\"><Relationship Id=\"rId1\" Type=\"" + rel +
                           "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
    parts["xl/workbook.xml"] = std::string("<workbook xmlns=\"") + ns_main + "\" xmlns:r=\"" + rel +
                               "\"><sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/>"
                               "</sheets></workbook>";
    parts["xl/_rels/workbook.xml.rels"] =
        "<Relationships xmlns=\"" + pkg + "\"><Relationship Id=\"rId1\" Type=\"" + rel +
        "/worksheet\" Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId2\" Type=\"" + rel +
        "/sharedStrings\" Target=\"sharedStrings.xml\"/><Relationship Id=\"rId3\" Type=\"" + rel +
        "/styles\" Target=\"styles.xml\"/></Relationships>";
    parts["xl/sharedStrings.xml"] = std::string("<sst xmlns=\"") + ns_main +
                                    "\"><si><t>first</t></si><si><t>second</t></si></sst>";
    parts["xl/styles.xml"] =
        std::string("<styleSheet xmlns=\"") + ns_main +
        "\"><numFmts><numFmt numFmtId=\"164\" formatCode=\"0.000\"/></numFmts>"
        "<cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"2\"/><xf numFmtId=\"164\"/>"
        "<xf numFmtId=\"14\"/></cellXfs></styleSheet>";
    parts["xl/worksheets/sheet1.xml"] = std::string("<worksheet xmlns=\"") + ns_main +
                                        "\"><sheetData>" + sheet_data + "</sheetData></worksheet>";
    return parts;
}

inline std::vector<std::uint8_t> zip_parts(const std::map<std::string, std::string>& parts) {
    std::vector<ZipPart> list;
    for (const auto& [name, data] : parts)
        list.push_back({name, data, true});
    return make_zip(list);
}

}  // namespace tb::test
