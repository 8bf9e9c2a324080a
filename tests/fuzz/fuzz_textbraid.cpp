// The worksheet function over a random workbook on the stand-in Excel, with arguments of every
// kind a host can pass (arrays of any shape and bounds, references to cells, blocks, whole rows
// and columns, objects that are no range, every error code) and faults injected into the host's
// operations. Invariants: no crash or sanitizer report; the result is a text, an error value or
// a range whose value is an error; the help box comes only with fewer than four arguments, which
// give #VALUE!, as does an error among the first three; no host object outlives the call; and
// where the arguments are simple (texts, omitted ones, booleans, arrays and references of texts
// and cells the host shows as text) the result is the one an independent model of the join gives
// (with faults injected, that or #VALUE!, or anything when a failed limit probe let the join run
// past the limit it would have stopped at).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/host/connection.h"
#include "core/host/excel_ops.h"
#include "core/host/mod_globals.h"
#include "core/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using tb::Array;
using tb::ObjectRef;
using tb::Value;
using tb::fuzz::Input;
using tb::fuzz::violated;
using tb::standin::CellData;
using tb::standin::Excel;
using tb::standin::WorkbookData;

constexpr std::size_t kCellLimit = 32767;
// The stand-in gives no value for a block of more cells than this (it runs out of memory, as
// Excel does), so a switch or delimiter given as such a block ends in #VALUE!. Text items are
// never read as a whole block: they are walked cell by cell.
constexpr std::uint64_t kLargestValue = std::uint64_t{1} << 22;
const std::int32_t kValueError = tb::xlerr::scode(tb::xlerr::value);
const std::u16string_view kSheetNames[] = {u"Sheet1", u"My Sheet", u"S3"};

// --- decoding ----------------------------------------------------------------------------------

std::u16string LongOrShortText(Input& in) {
    static const std::size_t lengths[] = {255, 256, 8192, 16383, 32766, 32767, 32768, 40000};
    if (in.pick(8) != 0) return in.text();
    const std::size_t length = in.from(lengths);
    return std::u16string(length, in.flag() ? u'x' : u'"');
}

std::int32_t ExcelError(Input& in) {
    namespace e = tb::xlerr;
    static const std::int32_t numbers[] = {e::null_, e::div0, e::value, e::ref,
                                           e::name,  e::num,  e::na};
    return e::scode(in.from(numbers));
}

double FiniteNumber(Input& in) {
    static const double numbers[] = {0.0,      -0.0,    1.0,  -1.0,  0.5,        1.5,
                                     3.14159,  1e15,    1e-5, 1e21,  -1e300,     1e307,
                                     4.9e-324, 45293.5, 60.0, 61.25, 2958465.99, 123456789012.345};
    if (in.pick(4) != 0) return in.from(numbers);
    const double raw = std::bit_cast<double>(in.u64());
    return std::isfinite(raw) ? raw : 0.0;
}

double AnyNumber(Input& in) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::size_t which = in.pick(6);
    if (which == 3) return std::bit_cast<double>(in.u64());
    const double special[] = {inf, -inf, std::numeric_limits<double>::quiet_NaN()};
    return which < 3 ? special[which] : FiniteNumber(in);
}

WorkbookData MakeBook(Input& in) {
    // clang-format off
    static const std::u16string_view formats[] = {
        u"General", u"0.00", u"@", u"m/d/yyyy", u"#,##0.00", u"0%", u";;;", u"0.00E+00", u"# ?/?",
        u"h:mm AM/PM", u"\"<\"@\">\"", u"[Red]0.0;-0;\"zero\";@", u"yyyy-mm-dd hh:mm:ss",
        u"$#,##0.00_);($#,##0.00)"};
    WorkbookData book;
    book.name = u"Fuzz.xlsx";
    const std::size_t sheets = 1 + in.pick(3);
    for (std::size_t s = 0; s < sheets; ++s) {
        auto& sheet = book.sheets.emplace_back();
        sheet.name = kSheetNames[s];
        for (std::size_t i = 0, cells = in.pick(25); i < cells; ++i) {
            const auto row = static_cast<std::uint32_t>(in.pick(16) == 0 ? 40 : 1 + in.pick(8));
            const auto column = static_cast<std::uint32_t>(1 + in.pick(6));
            std::u16string format(in.from(formats));
            Value value;  // case 0: formatted but empty
            switch (in.pick(8)) {
                case 0: break;
                case 1: value = Value::string(in.text()); break;
                case 2: value = Value::string(LongOrShortText(in)); break;
                case 3: value = Value::string(u""); break;
                case 4: value = Value::number(FiniteNumber(in)); break;
                case 5: value = Value::boolean(in.flag()); break;
                case 6: value = Value::error(ExcelError(in)); break;
                default:
                    const double day = in.u16();
                    value = Value::number(day + in.byte() / 256.0);
                    format = in.flag() ? u"m/d/yyyy" : u"d-mmm-yy h:mm";
            }
            sheet.set(row, column, std::move(value), std::move(format));
        }
    }
    // clang-format on
    return book;
}

// A plain reference to a rectangle of a sheet, as the model reads it.
struct Ref {
    std::size_t sheet = 0;
    std::uint32_t top = 1, left = 1, bottom = 1, right = 1;
    std::uint64_t area() const {
        return std::uint64_t{bottom - top + 1} * std::uint64_t{right - left + 1};
    }
};

struct Arg {
    Arg(Value v, std::optional<Ref> r = std::nullopt) : value(std::move(v)), ref(r) {}
    Value value;
    std::optional<Ref> ref;  // set when value is a range object for this rectangle
};

std::u16string ColumnLetters(std::uint32_t column) {
    std::u16string letters;
    for (; column > 0; column = (column - 1) / 26)
        letters.insert(letters.begin(), static_cast<char16_t>(u'A' + (column - 1) % 26));
    return letters;
}

std::u16string Number(std::uint64_t n) {
    return tb::utf16(std::to_string(n));
}

std::u16string CellAddress(std::uint32_t row, std::uint32_t column) {
    return ColumnLetters(column) + Number(row);
}

class Decoder {
  public:
    Decoder(Input& in, Excel& excel, const WorkbookData* book)
        : in_(in), excel_(excel), book_(book) {}

    Arg Argument(int depth = 0) {
        static const double dates[] = {0.0,      1.0,       60.0,      61.5,      45293.75, -1.5,
                                       -657434., -657435.0, 2958465.5, 2958466.0, 1e300};
        // clang-format off
        switch (in_.pick(18)) {
            case 0: return {Value::missing()};
            case 1: return {Value()};
            case 2: return {Value::null()};
            case 3: return {Value::error(ErrorCode())};
            case 4: return {Value::boolean(in_.flag())};
            case 5: return {Value::byte(in_.byte())};
            case 6: return {Value::integer(static_cast<std::int16_t>(in_.u16()))};
            case 7: return {Value::long_(static_cast<std::int32_t>(in_.u32()))};
            case 8: return {Value::single(static_cast<float>(AnyNumber(in_)))};
            case 9: return {Value::number(AnyNumber(in_))};
            case 10: return {Value::currency(in_.flag() ? static_cast<std::int64_t>(in_.u64())
                                                        : static_cast<std::int8_t>(in_.byte()) * 2500)};
            case 11: {
                tb::Decimal d;
                d.scale = static_cast<std::uint8_t>(in_.pick(29));
                d.negative = in_.flag();
                d.hi = in_.flag() ? in_.u32() : 0;
                d.lo = in_.u64();
                return {Value::decimal(d)};
            }
            case 12: return {Value::string(LongOrShortText(in_))};
            case 13: return {Value::date(in_.pick(8) == 0 ? AnyNumber(in_) : in_.from(dates))};
            case 14: return {Value::object(ObjectRef())};
            case 15: return {depth < 2 ? ArrayOf(depth) : Value::string(in_.text())};
            case 16: return Reference();
            default: return {OtherObject()};
        }
        // clang-format on
    }

  private:
    std::int32_t ErrorCode() {
        namespace hr = tb::hr;
        static const std::int32_t codes[] = {hr::param_not_found, hr::type_mismatch, hr::fail,
                                             hr::ok, hr::out_of_memory};
        const std::size_t which = in_.pick(4);
        if (which == 0) return in_.from(codes);
        return which == 1 ? static_cast<std::int32_t>(in_.u32()) : ExcelError(in_);
    }

    Value ArrayOf(int depth) {
        static const std::int32_t lowers[] = {1, 1, 0, -3, 7, INT32_MAX, INT32_MIN};
        std::vector<Array::Bound> bounds(1 + in_.pick(3));
        std::size_t elements = 1;
        for (auto& bound : bounds) {
            bound.lower = in_.from(lowers);
            bound.count = static_cast<std::uint32_t>(in_.pick(4));
            elements *= bound.count;
        }
        std::vector<Value> values;
        for (std::size_t i = 0; i < elements; ++i)
            values.push_back(Argument(depth + 1).value);
        return Value::array(Array(std::move(bounds), std::move(values)));
    }

    Arg Reference() {
        if (!book_) return {Value::object(ObjectRef())};
        const std::uint32_t rows = excel_.max_rows(), columns = excel_.max_columns();
        Ref ref;
        ref.sheet = in_.pick(book_->sheets.size());
        const std::size_t shape = in_.pick(16);
        auto small = [this](std::size_t n) { return static_cast<std::uint32_t>(1 + in_.pick(n)); };
        std::u16string address;
        if (shape < 6) {  // one cell
            ref.top = ref.bottom = small(10);
            ref.left = ref.right = small(8);
        } else if (shape < 11) {  // a block
            ref.top = small(10);
            ref.bottom = ref.top + small(10) - 1;
            ref.left = small(8);
            ref.right = ref.left + small(8) - 1;
        } else if (shape == 11) {  // whole columns
            ref = {ref.sheet, 1, small(8), rows, 0};
            ref.right = ref.left + small(3) - 1;
            address = ColumnLetters(ref.left) + u":" + ColumnLetters(ref.right);
        } else if (shape == 12 || shape == 13) {  // whole rows, or the whole sheet
            ref.top = shape == 12 ? small(10) : 1;
            ref.bottom = shape == 12 ? ref.top + small(3) - 1 : rows;
            ref.left = 1;
            ref.right = columns;
            address = Number(ref.top) + u":" + Number(ref.bottom);
        } else {  // at the far corner of the grid
            ref.bottom = rows;
            ref.right = columns;
            ref.top = rows - static_cast<std::uint32_t>(in_.pick(3));
            ref.left = columns - static_cast<std::uint32_t>(in_.pick(3));
        }
        if (address.empty()) {
            address = CellAddress(ref.top, ref.left);
            if (ref.area() > 1) address += u":" + CellAddress(ref.bottom, ref.right);
        }
        const std::u16string qualified =
            u"'" + std::u16string(kSheetNames[ref.sheet]) + u"'!" + address;
        try {
            return {Value::object(excel_.range(qualified)), ref};
        } catch (const tb::Failure&) {
            violated("the stand-in refused the reference " + tb::utf8(qualified));
        }
    }

    // Objects a host could hand over that are no plain range.
    Value OtherObject() {
        namespace ops = tb::excel;
        const std::size_t which = in_.pick(5);
        if (which == 0) return Value::object(excel_.application());
        if (!book_) return Value::object(ObjectRef());
        ObjectRef workbook =
            ops::Workbooks_Item(ops::Application_Workbooks(excel_.application()), 1);
        if (which == 1) return Value::object(workbook);
        ObjectRef sheet = ops::Sheets_Item(ops::Workbook_Worksheets(workbook), 1);
        if (which == 2) return Value::object(sheet);
        const ObjectRef range = Reference().value.object_value();
        return Value::object(which == 3 ? ops::Range_Rows(range) : ops::Range_Columns(range));
    }

    Input& in_;
    Excel& excel_;
    const WorkbookData* book_;
};

// --- the model ---------------------------------------------------------------------------------

// What the model expects: a text, #VALUE! (no text, no cell) or a cell in error.
struct Expected {
    std::optional<std::u16string> text;
    std::optional<Ref> error_cell;
    std::int32_t code = 0;
};
// The arguments lead somewhere the model does not follow.
struct Beyond {};

// The join as the function's contract describes it, for the arguments whose texts need no
// conversion by the host; it throws Beyond for the others.
class Model {
  public:
    explicit Model(const WorkbookData* book) : book_(book) {}

    Expected Expect(std::span<const Arg> args) {
        if (args.size() < 4) return {};
        // An error among the first three, also as the value of a referenced cell (a block too
        // large for the host to give its value fails).
        for (const Arg& arg : args.first(3)) {
            if (arg.value.is_error_value()) return {};
            if (arg.ref && arg.ref->area() == 1 && CellAt(*arg.ref).value.is_error()) return {};
            if (arg.ref && arg.ref->area() > kLargestValue) return {};
        }
        use_formats_ = Switch(args[2], false);
        ignore_empty_ = Switch(args[1], true);
        // The delimiter: omitted, a text or one cell.
        const Arg& d = args[0];
        if (!d.value.is_missing() && !d.value.is_string() && !(d.ref && d.ref->area() == 1))
            throw Beyond{};
        delimiter_ = d.value.is_string() ? d.value.string_value()
                     : d.ref             ? CellText(CellAt(*d.ref))
                                         : u"";
        // The early check, from the number of items alone.
        double count = 0;
        for (const Arg& arg : args.subspan(3)) {
            const Value& v = arg.value;
            if (!v.is_missing() && !v.is_string() && !v.is_array() && !arg.ref) throw Beyond{};
            count += arg.ref ? static_cast<double>(arg.ref->area()) : 1.0;
        }
        const double figure =
            delimiter_.empty() ? count : (count - 1) * static_cast<double>(delimiter_.size());
        if (!skip_empty() && figure > static_cast<double>(kCellLimit)) return Limit();

        for (const Arg& arg : args.subspan(3)) {
            if (arg.value.is_array()) {
                WalkArray(arg.value.array_value());
            } else if (arg.ref) {
                WalkRef(*arg.ref);
            } else {
                Accept(arg.value.is_string() ? arg.value.string_value() : u"");
            }
            if (end_) return *end_;
        }
        return {joined_, std::nullopt, 0};
    }

  private:
    // Without a delimiter an empty text leaves no trace, as if empties were ignored.
    bool skip_empty() const { return ignore_empty_ || delimiter_.empty(); }
    static Expected Limit() { return {std::u16string(tb::kCellLimitText), std::nullopt, 0}; }

    static bool Switch(const Arg& arg, bool default_value) {
        if (arg.value.is_missing()) return default_value;
        if (arg.value.is_boolean()) return arg.value.boolean_value();
        throw Beyond{};
    }

    // The top-left cell of the rectangle.
    CellData CellAt(const Ref& r) const {
        return book_->sheets[r.sheet].find(r.top, r.left).value_or(CellData{});
    }

    // The text a cell gives the join: its displayed text with formats, else its text value.
    std::u16string CellText(const CellData& cell) const {
        if (cell.value.is_empty()) return {};
        if (use_formats_) {
            try {
                return Excel::display_text(cell.value, cell.format);
            } catch (const tb::Failure&) {
                throw Beyond{};
            }
        }
        if (cell.value.is_string()) return cell.value.string_value();
        throw Beyond{};
    }

    void Accept(const std::u16string& text) {
        if (end_ || (text.empty() && ignore_empty_)) return;
        if (accepted_++ > 0) joined_ += delimiter_;
        joined_ += text;
        if (joined_.size() > kCellLimit) end_ = Limit();
    }

    void WalkArray(const Array& array) {
        if (array.dimensions() != 2 || array.lower(0) != 1 || array.lower(1) != 1) throw Beyond{};
        for (const Value& element : array.elements()) {  // row by row
            if (!element.is_string() && !element.is_empty()) throw Beyond{};
            Accept(element.is_string() ? element.string_value() : u"");
            if (end_) return;
        }
    }

    void WalkRef(const Ref& ref) {
        // With empties skipped only the stored cells matter; else the early check keeps the walk
        // over every cell short.
        std::vector<std::uint64_t> keys;
        if (skip_empty() && ref.area() > 1) {
            for (const auto& [key, cell] : book_->sheets[ref.sheet].cells)
                keys.push_back(key);
            std::sort(keys.begin(), keys.end());
        } else {
            for (std::uint64_t row = ref.top; row <= ref.bottom; ++row)
                for (std::uint64_t column = ref.left; column <= ref.right; ++column)
                    keys.push_back(row << 32 | column);
        }
        for (std::uint64_t key : keys) {
            const auto row = static_cast<std::uint32_t>(key >> 32);
            const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
            if (row < ref.top || row > ref.bottom || column < ref.left || column > ref.right)
                continue;
            const Ref at{ref.sheet, row, column, row, column};
            const CellData cell = CellAt(at);
            if (cell.value.is_error())
                end_ = Expected{{}, at, cell.value.error_code()};
            else
                Accept(CellText(cell));
            if (end_) return;
        }
    }

    const WorkbookData* book_;
    bool use_formats_ = false, ignore_empty_ = true;
    std::u16string delimiter_, joined_;
    std::size_t accepted_ = 0;
    std::optional<Expected> end_;
};

std::string Describe(const Value& v) {
    if (v.is_string())
        return "text of " + std::to_string(v.string_value().size()) + " characters \"" +
               tb::utf8(v.string_value().substr(0, 60)) + "\"";
    if (v.is_error()) return "error " + std::to_string(v.error_code());
    return "a value of kind " + std::to_string(static_cast<int>(v.kind()));
}

bool Matches(const Value& result, const Expected& expected) {
    if (expected.text) return result.is_string() && result.string_value() == *expected.text;
    if (!expected.error_cell) return result.is_error() && result.error_code() == kValueError;
    try {
        if (!result.is_object()) return false;
        const ObjectRef& cell = result.object_value();
        const Ref& at = *expected.error_cell;
        return tb::get(cell, u"Address").string_value() ==
                   u"$" + ColumnLetters(at.left) + u"$" + Number(at.top) &&
               tb::get(tb::excel::Range_Worksheet(cell), u"Name").string_value() ==
                   kSheetNames[at.sheet] &&
               tb::excel::Range_Value(cell).error_code() == expected.code;
    } catch (const tb::Failure&) {
        return false;
    }
}

void Run(Input& in) {
    // In this order: each declarator reads its bytes before the next.
    const bool legacy = in.flag(), open_book = in.pick(16) != 0, sink = in.flag(),
               second_book = in.pick(4) == 0;
    Excel excel(legacy ? tb::standin::Profile::Legacy : tb::standin::Profile::Modern);
    std::optional<WorkbookData> book;
    if (open_book) {
        book = MakeBook(in);
        excel.open(*book);
        if (second_book) excel.add_new_workbook();
    }
    tb::OnConnection(excel.application(),
                     sink ? tb::SinkFactory([] { return std::make_shared<tb::CExcelEvents>(); })
                          : tb::SinkFactory());

    std::vector<Arg> args;
    Decoder decoder(in, excel, book ? &*book : nullptr);
    for (std::size_t i = 0, count = in.pick(10); i < count; ++i)
        args.push_back(decoder.Argument());
    std::vector<Value> params;
    for (const Arg& arg : args)
        params.push_back(arg.value);

    // The fault schedule, counted from here.
    static const std::int32_t hresults[] = {tb::hr::fail, tb::hr::exception, tb::hr::type_mismatch,
                                            tb::hr::out_of_memory, tb::hr::unknown_name};
    const std::vector<std::u16string> operations = excel.operations();
    bool evaluate_faulted = false;
    const std::size_t faults = in.pick(3);
    for (std::size_t i = 0; i < faults; ++i) {
        const std::u16string& op = operations[in.pick(operations.size())];
        const std::uint64_t nth = 1 + in.pick(64);
        excel.fail_call(op, nth, in.from(hresults));
        evaluate_faulted = evaluate_faulted || op == u"Application.Evaluate";
    }
    const bool unknown = in.pick(8) == 0;
    if (unknown) {
        const std::u16string& op = operations[in.pick(operations.size())];
        excel.make_unknown(op);
        evaluate_faulted = evaluate_faulted || op == u"Application.Evaluate";
    }
    // A budget: a walk over a whole column that a failed limit probe let through (the host
    // would read every cell, slowly but correctly) ends after this many cells with #VALUE!.
    constexpr std::uint64_t budget = 40000;
    const std::uint64_t cells_before = excel.calls(u"Range.Cells");
    excel.fail_call(u"Range.Cells", budget);

    int boxes = 0;
    tb::TEXTBRAID function([&boxes](const std::u16string& text, const std::u16string& title,
                                    std::uint32_t style) {
        ++boxes;
        if (text != tb::TextBraidHelpText() || title != u"TEXTBRAID" || style != tb::kStopBoxStyle)
            violated("a box other than the help box");
    });
    Value result = function(params);
    excel.clear_faults();
    const bool faulted =
        faults > 0 || unknown || excel.calls(u"Range.Cells") - cells_before >= budget;

    if (result.is_object()) {
        if (!result.object_value()) violated("the result is an empty object reference");
        try {
            if (!tb::excel::Range_Value(result.object_value()).is_error())
                violated("the result is a range whose value is no error");
        } catch (const tb::Failure& e) {
            violated(std::string("the result is an object that is no range: ") + e.what());
        }
    } else if (!result.is_string() && !result.is_error()) {
        violated("the result is " + Describe(result));
    }
    const bool value_error = result.is_error() && result.error_code() == kValueError;
    if (boxes > 1 || (boxes == 1 && params.size() >= 4)) violated("a help box too many");
    if (params.size() < 4 && (!value_error || (!faulted && boxes != 1)))
        violated("a call with too few arguments gave " + Describe(result));
    for (std::size_t i = 0; i < 3 && i < params.size(); ++i) {
        if (params[i].is_error_value() && !value_error)
            violated("an error among the first three arguments gave " + Describe(result));
    }

    try {
        const Expected expected = Model(book ? &*book : nullptr).Expect(args);
        const bool limit = expected.text == tb::kCellLimitText;
        if (!Matches(result, expected) &&
            !(faulted && (value_error || (limit && evaluate_faulted))))
            violated("the join gave " + Describe(result) + " where the model expects " +
                     (expected.text         ? Describe(Value::string(*expected.text))
                      : expected.error_cell ? "an error cell"
                                            : "#VALUE!") +
                     (faulted ? " (faults injected)" : ""));
    } catch (const Beyond&) {
    }

    result = Value();
    params.clear();
    args.clear();
    tb::OnDisconnection();
    if (excel.live_objects() != 0)
        violated(std::to_string(excel.live_objects()) + " host objects left alive");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(std::span<const std::uint8_t>(data, size));
    Run(in);
    return 0;
}
