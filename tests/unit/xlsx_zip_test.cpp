// The zip container reader: round trips of stored and deflated entries, and every kind of
// damaged or unsupported archive giving a clear error rather than a crash.
#include <gtest/gtest.h>

#include <functional>

#include "standin/xlsx/zip.h"
#include "tests/unit/xlsx_test_zip.h"

namespace tb::standin {
namespace {

using test::get32;
using test::set16;
using test::set32;
using Bytes = std::vector<std::uint8_t>;

const std::string big(100000, 'x');

Bytes sample_zip() {
    return test::make_zip({{"a.txt", "hello", false},
                           {"Dir/B.xml", "<b>deflated text, deflated text</b>", true},
                           {"empty", "", true},
                           {"big", big, true}});
}

TEST(XlsxZip, ReadsStoredAndDeflatedEntriesByExactOrFoldedName) {
    const Bytes zip = sample_zip();
    ZipArchive archive(zip, "t.zip");
    ASSERT_EQ(archive.entries().size(), 4u);
    EXPECT_EQ(archive.read("a.txt"), "hello");
    EXPECT_EQ(archive.read("dir/b.XML"), "<b>deflated text, deflated text</b>");
    EXPECT_EQ(archive.read("empty"), "");
    EXPECT_EQ(archive.read("big"), big);
    EXPECT_FALSE(archive.contains("missing"));
}

TEST(XlsxZip, AcceptsATrailingComment) {
    Bytes zip = sample_zip();
    set16(zip, test::eocd_offset(zip) + 20, 7);
    for (char c : std::string("comment"))
        zip.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(ZipArchive(zip, "t.zip").read("a.txt"), "hello");
}

struct BadZip {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* message;
};

// The central directory entry of the n-th part of sample_zip().
std::size_t central(const Bytes& zip, int n) {
    std::size_t at = test::central_offset(zip);
    for (int i = 0; i < n; ++i) {
        at += 46 + static_cast<std::size_t>(zip[at + 28] | (zip[at + 29] << 8));
    }
    return at;
}

TEST(XlsxZip, DamagedOrUnsupportedArchivesGiveClearErrors) {
    const BadZip cases[] = {
        {"text",
         [](Bytes& z) {
             z.assign({'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'});
         },
         "t.zip: not a zip file"},
        {"empty file", [](Bytes& z) { z.clear(); }, "not a zip file"},
        {"empty archive",
         [](Bytes& z) { z.erase(z.begin(), z.begin() + long(test::eocd_offset(z))); },
         "the zip archive is empty"},
        {"cut at the end", [](Bytes& z) { z.resize(z.size() - 10); },
         "no end of central directory"},
        {"cut in half", [](Bytes& z) { z.resize(z.size() / 2); }, "no end of central directory"},
        {"directory outside", [](Bytes& z) { set32(z, test::eocd_offset(z) + 16, 0x7FFFFFF0); },
         "central directory outside the file"},
        {"bad directory entry", [](Bytes& z) { z[central(z, 1)] = 'X'; },
         "bad central directory entry 1"},
        {"zip64 counts", [](Bytes& z) { set16(z, test::eocd_offset(z) + 10, 0xFFFF); }, "zip64"},
        {"zip64 sizes", [](Bytes& z) { set32(z, central(z, 0) + 24, 0xFFFFFFFF); }, "zip64"},
        {"split", [](Bytes& z) { set16(z, test::eocd_offset(z) + 4, 1); }, "several disks"},
        {"encrypted", [](Bytes& z) { set16(z, central(z, 0) + 8, 1); },
         "encrypted zip entries are not supported: a.txt"},
        {"bzip2", [](Bytes& z) { set16(z, central(z, 0) + 10, 12); },
         "a.txt: unsupported compression method 12"},
        {"crc", [](Bytes& z) { z[30 + 5] ^= 1; }, "a.txt: corrupt zip file (CRC mismatch)"},
        {"stored size", [](Bytes& z) { set32(z, central(z, 0) + 24, 4); }, "stored size mismatch"},
        {"bad local header", [](Bytes& z) { set32(z, central(z, 0) + 42, 3); }, "bad local header"},
        {"data past end", [](Bytes& z) { set32(z, central(z, 0) + 20, 0x7FFFFFFF); },
         "a.txt: truncated zip file (entry data runs past the end)"},
        {"huge size", [](Bytes& z) { set32(z, central(z, 3) + 24, 0x20000000); },
         "big: declared size of 536870912 bytes is over the limit of 268435456"},
        {"inflates to more", [](Bytes& z) { set32(z, central(z, 3) + 24, 1000); },
         "big: corrupt zip file (inflates to more than its declared size)"},
        {"inflates to less", [](Bytes& z) { set32(z, central(z, 3) + 24, 200000); },
         "big: corrupt zip file (inflates to 100000 bytes, declared 200000)"},
        {"garbage deflate",
         [](Bytes& z) {
             const std::size_t data = get32(z, central(z, 3) + 42) + 30 + 3;
             for (std::size_t i = 0; i < 8; ++i)
                 z[data + i] = 0xFF;
         },
         "big: corrupt deflate data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes zip = sample_zip();
        c.damage(zip);
        try {
            ZipArchive archive(zip, "t.zip");
            for (const auto& e : archive.entries())
                (void)archive.read(e);
            ADD_FAILURE() << "no error";
        } catch (const XlsxError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace tb::standin
