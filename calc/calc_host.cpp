#include "calc/calc_host.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/lang/XMultiComponentFactory.hpp>
#include <com/sun/star/sheet/XCellFormatRangesSupplier.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XSheetCellCursor.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/util/NumberFormat.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <com/sun/star/util/XNumberFormatter.hpp>

#include "standin/excel.h"
#include "standin/number_format.h"

namespace tb::calc {

namespace uno = css::uno;
using rtl::OUString;

namespace {

// --- texts and error values --------------------------------------------------------------

std::u16string text_of(const OUString& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.getStr()),
                          static_cast<std::size_t>(s.getLength()));
}

// Calc's error codes of the values Excel knows (Calc keeps #N/A as 0x7FFF).
struct ErrorPair {
    std::int32_t calc;
    std::int32_t excel;
};
constexpr ErrorPair kErrors[] = {
    {521, xlerr::null_}, {532, xlerr::div0}, {519, xlerr::value}, {524, xlerr::ref},
    {525, xlerr::name},  {503, xlerr::num},  {0x7FFF, xlerr::na},
};
// Calc's own errors (Err:522, a circular reference, and the like) travel through the worksheet
// function as error numbers above this one, so a result shows the very error its cell held.
constexpr std::int32_t kCalcOwnErrors = 0x4000;

// --- the document of one call ----------------------------------------------------------

// A block of cells in UNO's coordinates (0-based) on one sheet.
struct Rect {
    std::int32_t sheet = 0;
    std::int32_t top = 0;
    std::int32_t left = 0;
    std::int32_t bottom = 0;
    std::int32_t right = 0;
    double rows() const { return double(bottom) - top + 1; }
    double columns() const { return double(right) - left + 1; }
};

Rect rect_of(const uno::Reference<css::sheet::XCellRangeAddressable>& range) {
    if (!range.is()) fail(hr::type_mismatch, "the range has no address");
    const css::table::CellRangeAddress a = range->getRangeAddress();
    return Rect{a.Sheet, a.StartRow, a.StartColumn, a.EndRow, a.EndColumn};
}

// What the worksheet function needs of a number format.
struct FormatInfo {
    std::int16_t type = 0;  // util::NumberFormat flags
    bool general = false;   // the General format, whose text follows Excel's rules
};

// One cell as read from the document.
struct Cell {
    enum class Kind : std::uint8_t { Empty, Number, Text, Error } kind = Kind::Empty;
    double number = 0;
    std::int32_t error = 0;  // Calc's code
    std::int32_t format = 0;
    std::u16string text;
};

struct Document {
    uno::Reference<uno::XComponentContext> context;
    uno::Reference<css::sheet::XSpreadsheetDocument> document;
    uno::Reference<css::container::XIndexAccess> sheets;
    uno::Reference<css::util::XNumberFormats> formats;
    uno::Reference<css::util::XNumberFormatter> formatter;  // made when first needed
    std::map<std::int32_t, FormatInfo> format_infos;
    standin::Excel rules;  // answers CONCATENATE and LEN(REPT()) as Excel does
    ObjectRef rules_application;

    uno::Reference<css::sheet::XSpreadsheet> sheet(std::int32_t index) {
        uno::Reference<css::sheet::XSpreadsheet> s(sheets->getByIndex(index), uno::UNO_QUERY_THROW);
        return s;
    }

    uno::Reference<css::table::XCellRange> range(const Rect& r) {
        return sheet(r.sheet)->getCellRangeByPosition(r.left, r.top, r.right, r.bottom);
    }

    const FormatInfo& format(std::int32_t key) {
        auto found = format_infos.find(key);
        if (found != format_infos.end()) return found->second;
        FormatInfo info;
        uno::Reference<css::beans::XPropertySet> props = formats->getByKey(key);
        if (props.is()) {
            props->getPropertyValue("Type") >>= info.type;
            OUString code;
            props->getPropertyValue("FormatString") >>= code;
            info.general = code.equalsIgnoreAsciiCase("General");
        }
        return format_infos.emplace(key, info).first->second;
    }

    std::u16string number_text(double number, std::int32_t key) {
        const FormatInfo& info = format(key);
        if (info.general && !(info.type & css::util::NumberFormat::LOGICAL))
            return standin::general_cell_text(number);
        if (!formatter.is()) {
            formatter.set(context->getServiceManager()->createInstanceWithContext(
                              "com.sun.star.util.NumberFormatter", context),
                          uno::UNO_QUERY_THROW);
            formatter->attachNumberFormatsSupplier(
                uno::Reference<css::util::XNumberFormatsSupplier>(document, uno::UNO_QUERY_THROW));
        }
        return text_of(formatter->convertNumberToString(key, number));
    }
};

// The cells of a block, read from the document a band of rows at a time as the walk reaches
// them: one call for the values, one for the number formats, one a cell only for error cells.
// Memory stays bounded however large the block.
class Block {
  public:
    Block(std::shared_ptr<Document> doc, const Rect& rect) : doc_(std::move(doc)), rect_(rect) {}

    const Rect& rect() const { return rect_; }

    const Cell& at(std::int32_t row, std::int32_t column) {
        if (row < band_.top || row > band_.bottom || cells_.empty()) load(row);
        const auto width = static_cast<std::size_t>(rect_.right - rect_.left + 1);
        return cells_[static_cast<std::size_t>(row - band_.top) * width +
                      static_cast<std::size_t>(column - rect_.left)];
    }

  private:
    void load(std::int32_t row) {
        constexpr double kBandCells = 65536;
        const auto band_rows =
            static_cast<std::int32_t>(std::max(1.0, std::floor(kBandCells / rect_.columns())));
        band_ = rect_;
        band_.top = row;
        band_.bottom = static_cast<std::int32_t>(
            std::min<std::int64_t>(rect_.bottom, std::int64_t{row} + band_rows - 1));
        const auto width = static_cast<std::size_t>(rect_.right - rect_.left + 1);
        const auto height = static_cast<std::size_t>(band_.bottom - band_.top + 1);
        cells_.assign(width * height, Cell());

        const uno::Reference<css::table::XCellRange> range = doc_->range(band_);
        uno::Reference<css::sheet::XCellRangeData> data(range, uno::UNO_QUERY_THROW);
        const uno::Sequence<uno::Sequence<uno::Any>> rows = data->getDataArray();
        for (std::size_t r = 0; r < height && r < static_cast<std::size_t>(rows.getLength()); ++r) {
            const uno::Sequence<uno::Any>& values = rows[static_cast<sal_Int32>(r)];
            for (std::size_t c = 0; c < width && c < static_cast<std::size_t>(values.getLength());
                 ++c) {
                Cell& cell = cells_[r * width + c];
                const uno::Any& v = values[static_cast<sal_Int32>(c)];
                OUString s;
                if (v >>= cell.number) {
                    cell.kind = Cell::Kind::Number;
                } else if (v >>= s) {
                    cell.text = text_of(s);
                    cell.kind = cell.text.empty() ? Cell::Kind::Empty : Cell::Kind::Text;
                } else {
                    // An error cell arrives without a value: its code is asked of the cell.
                    const auto column = static_cast<sal_Int32>(c);
                    const auto at_row = static_cast<sal_Int32>(r);
                    cell.kind = Cell::Kind::Error;
                    cell.error = range->getCellByPosition(column, at_row)->getError();
                }
            }
        }
        // Number formats come as ranges of one format each.
        uno::Reference<css::sheet::XCellFormatRangesSupplier> supplier(range, uno::UNO_QUERY_THROW);
        uno::Reference<css::container::XIndexAccess> runs = supplier->getCellFormatRanges();
        for (sal_Int32 i = 0, n = runs->getCount(); i < n; ++i) {
            uno::Reference<css::beans::XPropertySet> run(runs->getByIndex(i), uno::UNO_QUERY_THROW);
            std::int32_t key = 0;
            run->getPropertyValue("NumberFormat") >>= key;
            if (key == 0) continue;
            const Rect at = rect_of(
                uno::Reference<css::sheet::XCellRangeAddressable>(run, uno::UNO_QUERY_THROW));
            for (std::int32_t r = std::max(at.top, band_.top);
                 r <= std::min(at.bottom, band_.bottom); ++r)
                for (std::int32_t c = std::max(at.left, rect_.left);
                     c <= std::min(at.right, rect_.right); ++c)
                    cells_[static_cast<std::size_t>(r - band_.top) * width +
                           static_cast<std::size_t>(c - rect_.left)]
                        .format = key;
        }
    }

    std::shared_ptr<Document> doc_;
    Rect rect_;
    Rect band_{0, 1, 0, 0, 0};  // empty until the first load
    std::vector<Cell> cells_;
};

// --- host objects ----------------------------------------------------------------------------

class Object : public HostObject {
  public:
    explicit Object(std::shared_ptr<Document> doc) : doc_(std::move(doc)) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void add_ref() noexcept override { ++refs_; }
    void release() noexcept override {
        if (--refs_ == 0) delete this;
    }
    ObjectRef query(const Guid& iid) override {
        if (answers(iid)) return ObjectRef::share(this);
        fail(hr::no_interface, "no such interface");
    }
    std::uint32_t connect_events(const Guid&, EventSink&) override {
        fail(hr::no_interface, "no event source");
    }
    void disconnect_events(std::uint32_t) override { fail(hr::no_interface, "no event source"); }

  protected:
    virtual bool answers(const Guid&) const { return false; }
    const std::shared_ptr<Document>& doc() const { return doc_; }

  private:
    std::shared_ptr<Document> doc_;
    std::uint32_t refs_ = 1;
};

[[noreturn]] void unknown_member(std::u16string_view member) {
    fail(hr::unknown_name, "unknown member " + utf8(member));
}

// An index argument as Excel reads it: a number, rounded to a whole one.
std::int64_t index_of(std::span<const Value> args, std::size_t i) {
    if (i >= args.size() || !(args[i].is_number_kind() || args[i].is_boolean()))
        fail(hr::type_mismatch, "an index is no number");
    const double x = std::nearbyint(args[i].to_number());
    if (std::fabs(x) > 2e9) fail(hr::bad_index, "index out of range");
    return static_cast<std::int64_t>(x);
}

enum class Mode { Cells, Rows, Columns };

// A range's areas: the range alone, for Calc hands no unions to an add-in.
class AreasObject final : public Object {
  public:
    AreasObject(std::shared_ptr<Document> doc, ObjectRef range)
        : Object(std::move(doc)), range_(std::move(range)) {}

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        if (iequals(member, u"Count")) return Value::long_(1);
        if (!member.empty() && !iequals(member, u"Item")) unknown_member(member);
        if (index_of(args, 0) != 1) fail(hr::bad_index, "no such area");
        return Value::object(range_);
    }

  private:
    ObjectRef range_;
};

ObjectRef make_worksheet(const std::shared_ptr<Document>& doc, std::int32_t sheet);

class RangeObject final : public Object {
  public:
    RangeObject(std::shared_ptr<Document> doc, const Rect& rect, Mode mode,
                std::shared_ptr<Block> block)
        : Object(std::move(doc)), rect_(rect), mode_(mode), block_(std::move(block)) {}

    const Rect& rect() const { return rect_; }

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        if (member.empty() || iequals(member, u"Value")) return value(true);
        if (iequals(member, u"Value2")) return value(false);
        if (iequals(member, u"Text")) return text();
        if (iequals(member, u"Cells")) return cells(args);
        if (iequals(member, u"Count") || iequals(member, u"CountLarge")) {
            const double n = mode_ == Mode::Rows      ? rect_.rows()
                             : mode_ == Mode::Columns ? rect_.columns()
                                                      : rect_.rows() * rect_.columns();
            if (iequals(member, u"CountLarge")) return Value::number(n);
            if (n > std::numeric_limits<std::int32_t>::max())
                fail(hr::overflow, "the count does not fit a 32-bit integer");
            return Value::long_(static_cast<std::int32_t>(n));
        }
        if (iequals(member, u"Rows") || iequals(member, u"Columns")) {
            const Mode mode = iequals(member, u"Rows") ? Mode::Rows : Mode::Columns;
            return Value::object(ObjectRef::adopt(new RangeObject(doc(), rect_, mode, block_)));
        }
        if (iequals(member, u"Worksheet")) return Value::object(make_worksheet(doc(), rect_.sheet));
        if (iequals(member, u"Areas"))
            return Value::object(ObjectRef::adopt(new AreasObject(doc(), ObjectRef::share(this))));
        unknown_member(member);
    }

  private:
    bool answers(const Guid& iid) const override { return iid == iid::range; }

    Block& block() {
        if (!block_) block_ = std::make_shared<Block>(doc(), rect_);
        return *block_;
    }

    const Cell& cell(std::int32_t row, std::int32_t column) {
        Block& b = block();
        const Rect& r = b.rect();
        if (row < r.top || row > r.bottom || column < r.left || column > r.right) {
            // A cell beyond the block this range reads (Cells allows that): read alone.
            block_ = std::make_shared<Block>(doc(), Rect{rect_.sheet, row, column, row, column});
            return block_->at(row, column);
        }
        return b.at(row, column);
    }

    Value cell_value(const Cell& c, bool typed) {
        switch (c.kind) {
            case Cell::Kind::Empty:
                return Value();
            case Cell::Kind::Text:
                return Value::string(c.text);
            case Cell::Kind::Error:
                return Value::error(scode_of_calc_error(c.error));
            case Cell::Kind::Number:
                break;
        }
        const std::int16_t type = c.format ? doc()->format(c.format).type : 0;
        if (type & css::util::NumberFormat::LOGICAL) return Value::boolean(c.number != 0);
        if (typed && (type & (css::util::NumberFormat::DATE | css::util::NumberFormat::TIME)) &&
            c.number >= 0 && c.number < 2958466)
            return Value::date(c.number);
        if (typed && (type & css::util::NumberFormat::CURRENCY) && std::fabs(c.number) < 9.2e14)
            return Value::currency(static_cast<std::int64_t>(std::llround(c.number * 10000)));
        return Value::number(c.number);
    }

    Value value(bool typed) {
        if (rect_.rows() * rect_.columns() == 1)
            return cell_value(cell(rect_.top, rect_.left), typed);
        if (rect_.rows() * rect_.columns() > 1e7) fail(hr::out_of_memory, "the range is too large");
        std::vector<Value> elements;
        for (std::int32_t r = rect_.top; r <= rect_.bottom; ++r)
            for (std::int32_t c = rect_.left; c <= rect_.right; ++c)
                elements.push_back(cell_value(cell(r, c), typed));
        return Value::array(Array::grid(static_cast<std::uint32_t>(rect_.rows()),
                                        static_cast<std::uint32_t>(rect_.columns()),
                                        std::move(elements)));
    }

    // The displayed text of the top-left cell; a block of several cells shows no one text.
    Value text() {
        if (rect_.rows() * rect_.columns() != 1) return Value::null();
        const Cell& c = cell(rect_.top, rect_.left);
        switch (c.kind) {
            case Cell::Kind::Empty:
                return Value::string(u"");
            case Cell::Kind::Text:
                return Value::string(c.text);
            case Cell::Kind::Error:
                return Value::string(xlerr::display_text(scode_of_calc_error(c.error)));
            case Cell::Kind::Number:
                break;
        }
        return Value::string(doc()->number_text(c.number, c.format));
    }

    // Cells() is the range itself; Cells(r, c) one cell counted from the top-left, sharing the
    // reads of this range.
    Value cells(std::span<const Value> args) {
        const bool none = args.empty() || (args.size() == 1 && args[0].is_missing());
        if (none)
            return Value::object(
                ObjectRef::adopt(new RangeObject(doc(), rect_, Mode::Cells, block_)));
        if (args.size() != 2) fail(hr::bad_param_count, "Cells takes a row and a column");
        const std::int64_t row = rect_.top + index_of(args, 0) - 1;
        const std::int64_t column = rect_.left + index_of(args, 1) - 1;
        if (row < 0 || column < 0 || row > std::numeric_limits<std::int32_t>::max() ||
            column > std::numeric_limits<std::int32_t>::max())
            fail(hr::exception, "cell outside the sheet");
        const auto r = static_cast<std::int32_t>(row);
        const auto c = static_cast<std::int32_t>(column);
        block();
        return Value::object(ObjectRef::adopt(
            new RangeObject(doc(), Rect{rect_.sheet, r, c, r, c}, Mode::Cells, block_)));
    }

    Rect rect_;
    Mode mode_;
    std::shared_ptr<Block> block_;
};

class WorksheetObject final : public Object {
  public:
    WorksheetObject(std::shared_ptr<Document> doc, std::int32_t sheet)
        : Object(std::move(doc)), sheet_(sheet) {}

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        const uno::Reference<css::sheet::XSpreadsheet> sheet = doc()->sheet(sheet_);
        Rect rect;
        if (iequals(member, u"Cells") && args.empty()) {
            rect =
                rect_of(uno::Reference<css::sheet::XCellRangeAddressable>(sheet, uno::UNO_QUERY));
        } else if (iequals(member, u"UsedRange")) {
            uno::Reference<css::sheet::XSheetCellCursor> cursor = sheet->createCursor();
            uno::Reference<css::sheet::XUsedAreaCursor> used(cursor, uno::UNO_QUERY_THROW);
            used->gotoStartOfUsedArea(false);
            used->gotoEndOfUsedArea(true);
            rect =
                rect_of(uno::Reference<css::sheet::XCellRangeAddressable>(cursor, uno::UNO_QUERY));
        } else {
            unknown_member(member);
        }
        rect.sheet = sheet_;
        return Value::object(ObjectRef::adopt(new RangeObject(doc(), rect, Mode::Cells, nullptr)));
    }

  private:
    std::int32_t sheet_;
};

ObjectRef make_worksheet(const std::shared_ptr<Document>& doc, std::int32_t sheet) {
    return ObjectRef::adopt(new WorksheetObject(doc, sheet));
}

// Workbooks, the workbook and its sheets: the calling document is the one workbook open.
class CollectionObject final : public Object {
  public:
    enum class What { Workbooks, Workbook, Sheets };
    CollectionObject(std::shared_ptr<Document> doc, What what)
        : Object(std::move(doc)), what_(what) {}

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        if (what_ == What::Workbook) {
            if (iequals(member, u"Worksheets") || iequals(member, u"Sheets"))
                return Value::object(ObjectRef::adopt(new CollectionObject(doc(), What::Sheets)));
            unknown_member(member);
        }
        const double count = what_ == What::Workbooks ? 1 : doc()->sheets->getCount();
        if (iequals(member, u"Count")) return Value::long_(static_cast<std::int32_t>(count));
        if (!member.empty() && !iequals(member, u"Item")) unknown_member(member);
        const std::int64_t index = index_of(args, 0);
        if (index < 1 || static_cast<double>(index) > count) fail(hr::bad_index, "no such item");
        if (what_ == What::Workbooks)
            return Value::object(ObjectRef::adopt(new CollectionObject(doc(), What::Workbook)));
        return Value::object(make_worksheet(doc(), static_cast<std::int32_t>(index - 1)));
    }

  private:
    bool answers(const Guid& iid) const override {
        return what_ == What::Workbook && iid == iid::workbook;
    }
    What what_;
};

class ApplicationObject final : public Object {
  public:
    using Object::Object;

    const std::shared_ptr<Document>& document() const { return doc(); }

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        if (iequals(member, u"Workbooks"))
            return Value::object(
                ObjectRef::adopt(new CollectionObject(doc(), CollectionObject::What::Workbooks)));
        if (iequals(member, u"Evaluate")) return call(doc()->rules_application, u"Evaluate", args);
        if (iequals(member, u"Intersect")) return intersect(args);
        unknown_member(member);
    }

  private:
    bool answers(const Guid& iid) const override { return iid == iid::application; }

    // The common block of the ranges given (omitted arguments skipped), or no object.
    Value intersect(std::span<const Value> args) {
        std::optional<Rect> common;
        for (const Value& arg : args) {
            if (arg.is_missing()) continue;
            const auto* range = arg.is_object()
                                    ? dynamic_cast<const RangeObject*>(arg.object_value().get())
                                    : nullptr;
            if (!range) fail(hr::type_mismatch, "Intersect takes ranges");
            const Rect& r = range->rect();
            if (!common) {
                common = r;
                continue;
            }
            if (r.sheet != common->sheet) fail(hr::exception, "ranges on different sheets");
            common->top = std::max(common->top, r.top);
            common->left = std::max(common->left, r.left);
            common->bottom = std::min(common->bottom, r.bottom);
            common->right = std::min(common->right, r.right);
            if (common->top > common->bottom || common->left > common->right)
                return Value::object(ObjectRef());
        }
        if (!common) fail(hr::param_not_found, "Intersect needs ranges");
        return Value::object(
            ObjectRef::adopt(new RangeObject(doc(), *common, Mode::Cells, nullptr)));
    }
};

}  // namespace

ObjectRef make_application(const uno::Reference<uno::XComponentContext>& context,
                           const uno::Reference<css::beans::XPropertySet>& caller) {
    auto doc = std::make_shared<Document>();
    doc->context = context;
    doc->document.set(caller, uno::UNO_QUERY);
    if (!doc->document.is()) fail(hr::type_mismatch, "the caller is no spreadsheet document");
    doc->sheets.set(doc->document->getSheets(), uno::UNO_QUERY_THROW);
    doc->formats = uno::Reference<css::util::XNumberFormatsSupplier>(caller, uno::UNO_QUERY_THROW)
                       ->getNumberFormats();
    doc->rules.add_new_workbook();
    doc->rules_application = doc->rules.application();
    return ObjectRef::adopt(new ApplicationObject(doc));
}

Value range_argument(const ObjectRef& application,
                     const uno::Reference<css::table::XCellRange>& range) {
    if (!range.is()) return Value::missing();
    auto* app = dynamic_cast<ApplicationObject*>(application.get());
    if (!app) fail(hr::type_mismatch, "not a Calc application");
    const Rect rect =
        rect_of(uno::Reference<css::sheet::XCellRangeAddressable>(range, uno::UNO_QUERY));
    return Value::object(
        ObjectRef::adopt(new RangeObject(app->document(), rect, Mode::Cells, nullptr)));
}

Value value_argument(const uno::Any& any) {
    double number = 0;
    bool flag = false;
    OUString text;
    uno::Sequence<uno::Sequence<uno::Any>> rows;
    if (!any.hasValue()) return Value::missing();
    if (any.getValueTypeClass() == uno::TypeClass_BOOLEAN && (any >>= flag))
        return Value::boolean(flag);
    if (any >>= number) return Value::number(number);
    if (any >>= text) return Value::string(text_of(text));
    if (!(any >>= rows) || rows.getLength() == 0)
        fail(hr::type_mismatch, "an argument of no known type");
    const sal_Int32 columns = rows[0].getLength();
    if (rows.getLength() == 1 && columns == 1) return value_argument(rows[0][0]);
    std::vector<Value> elements;
    elements.reserve(static_cast<std::size_t>(rows.getLength()) *
                     static_cast<std::size_t>(columns));
    for (const uno::Sequence<uno::Any>& row : rows) {
        if (row.getLength() != columns) fail(hr::type_mismatch, "a ragged array");
        for (const uno::Any& element : row) {
            Value v = value_argument(element);
            elements.push_back(v.is_missing() ? Value() : std::move(v));
        }
    }
    return Value::array(Array::grid(static_cast<std::uint32_t>(rows.getLength()),
                                    static_cast<std::uint32_t>(columns), std::move(elements)));
}

std::int32_t calc_error_of(std::int32_t scode) {
    for (const ErrorPair& pair : kErrors)
        if (xlerr::scode(pair.excel) == scode) return pair.calc;
    const std::int32_t number = xlerr::number_of(scode);
    if (number > kCalcOwnErrors && number <= kCalcOwnErrors + 0xFFFF)
        return number - kCalcOwnErrors;
    return 519;
}

std::int32_t scode_of_calc_error(std::int32_t calc_error) {
    for (const ErrorPair& pair : kErrors)
        if (pair.calc == calc_error) return xlerr::scode(pair.excel);
    if (calc_error > 0 && calc_error <= 0xFFFF) return xlerr::scode(kCalcOwnErrors + calc_error);
    return xlerr::scode(xlerr::value);
}

uno::Any result_of(const Value& result) {
    if (result.is_string()) {
        const std::u16string& s = result.string_value();
        return uno::Any(OUString(reinterpret_cast<const sal_Unicode*>(s.data()),
                                 static_cast<sal_Int32>(s.size())));
    }
    if (result.is_object() && result.object_value())
        return result_of(get(result.object_value(), u""));
    const std::int32_t scode = result.is_error() ? result.error_code() : xlerr::scode(xlerr::value);
    // Calc reads a quiet NaN whose low 32 bits hold one of its error codes as that error.
    std::uint64_t bits = 0x7FF8000000000000ull | static_cast<std::uint32_t>(calc_error_of(scode));
    double nan = 0;
    std::memcpy(&nan, &bits, sizeof nan);
    return uno::Any(nan);
}

}  // namespace tb::calc
