// Excel's number formats for the stand-in: the General texts of numbers and the displayed text of
// a cell under a format code.
//
// Numbers are taken as Excel keeps them: 15 significant decimal digits. Every rounding is done on
// that decimal text, half away from zero, so 2.675 under 0.00 shows 2.68 (the binary value is a
// little below 2.675, but Excel never shows that). A format code is split into its sections
// once, the one section that applies is cut into tokens held in a fixed array on the stack, and
// the text is written in one pass; the only allocation is the result.

#include "standin/number_format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/host/serial_date.h"

namespace tb::standin {

namespace {

// ---- decimal digits ---------------------------------------------------------------------------

// A non-negative number as decimal digits: value = 0.d[0]d[1]...d[n-1] x 10^point, so `point`
// digits stand before the decimal point (none, or leading zeros after it, when it is <= 0).
// No trailing zeros; zero has n = 0.
struct Decimal10 {
    std::array<char, 24> d{};
    int n = 0;
    int point = 0;

    int digit(int i) const { return i >= 0 && i < n ? d[static_cast<std::size_t>(i)] - '0' : 0; }
    bool zero() const { return n == 0; }

    void trim() {
        while (n > 0 && d[static_cast<std::size_t>(n - 1)] == '0')
            --n;
        if (n == 0) point = 0;
    }

    // Keeps `keep` leading digits, rounding half away from zero on the digit after them.
    void round_to_digits(int keep) {
        if (keep >= n) return;
        if (keep < 0) {
            n = 0;
            point = 0;
            return;
        }
        const bool up = d[static_cast<std::size_t>(keep)] >= '5';
        n = keep;
        if (up) {
            int i = n - 1;
            while (i >= 0 && d[static_cast<std::size_t>(i)] == '9') {
                d[static_cast<std::size_t>(i)] = '0';
                --i;
            }
            if (i >= 0) {
                ++d[static_cast<std::size_t>(i)];
            } else {
                // 999.5 -> 1000: a new leading digit.
                d[0] = '1';
                n = 1;
                ++point;
            }
        }
        trim();
    }
    // Rounds to `decimals` digits after the decimal point.
    void round_to_decimals(int decimals) { round_to_digits(point + decimals); }
};

// The 15 significant digits Excel keeps of |x|.
Decimal10 decimal_of(double x) {
    Decimal10 r;
    x = std::fabs(x);
    if (x == 0.0 || !std::isfinite(x)) return r;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.14e", x);
    // d.dddddddddddddde[+-]xx
    r.d[0] = buf[0];
    int n = 1;
    const char* s = buf + 2;
    while (*s >= '0' && *s <= '9')
        r.d[static_cast<std::size_t>(n++)] = *s++;
    r.n = n;
    const int exponent = std::atoi(s + 1);
    r.point = exponent + 1;
    r.trim();
    return r;
}

void append_ascii(std::u16string& out, const char* s) {
    while (*s)
        out += static_cast<char16_t>(*s++);
}

void append_int(std::u16string& out, long long v, int min_digits = 1) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", min_digits, v);
    append_ascii(out, buf);
}

// Writes the digits of d in plain form: integer part ("0" when none), then the fraction.
void append_plain(std::u16string& out, const Decimal10& d) {
    if (d.point <= 0) {
        out += u'0';
    } else {
        for (int i = 0; i < d.point; ++i)
            out += static_cast<char16_t>(u'0' + d.digit(i));
    }
    if (d.n > d.point) {
        out += u'.';
        for (int i = d.point; i < d.n; ++i)
            out += static_cast<char16_t>(u'0' + d.digit(i));
    }
}

// Writes d (non-zero) as m.mmmE+xx: the digits as they are, the exponent with at least
// `exponent_digits` digits.
void append_scientific(std::u16string& out, const Decimal10& d, int exponent_digits) {
    out += static_cast<char16_t>(u'0' + d.digit(0));
    if (d.n > 1) {
        out += u'.';
        for (int i = 1; i < d.n; ++i)
            out += static_cast<char16_t>(u'0' + d.digit(i));
    }
    const int e = d.point - 1;
    out += u'E';
    out += e < 0 ? u'-' : u'+';
    append_int(out, e < 0 ? -e : e, exponent_digits);
}

bool ascii_iequal(std::u16string_view s, std::size_t at, const char* word) {
    for (std::size_t i = 0; word[i]; ++i) {
        if (at + i >= s.size()) return false;
        char16_t c = s[at + i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        char16_t w = static_cast<char16_t>(word[i]);
        if (w >= u'A' && w <= u'Z') w = static_cast<char16_t>(w + 32);
        if (c != w) return false;
    }
    return true;
}

char16_t lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// ---- format sections --------------------------------------------------------------------------

enum class Op : std::uint8_t { None, Lt, Le, Gt, Ge, Eq, Ne };

struct Section {
    std::u16string_view text;
    Op op = Op::None;
    double bound = 0;
    bool has_at = false;  // an unquoted '@': a text section
};

struct Sections {
    std::array<Section, 4> s;
    int count = 0;
};

// Index just past the closing character of a quoted run or bracket starting at i.
std::size_t skip_quoted(std::u16string_view code, std::size_t i, char16_t close) {
    ++i;
    while (i < code.size() && code[i] != close)
        ++i;
    return i < code.size() ? i + 1 : i;
}

bool parse_condition(std::u16string_view inner, Op& op, double& bound) {
    std::size_t i = 0;
    if (inner.empty()) return false;
    const char16_t c0 = inner[0];
    const char16_t c1 = inner.size() > 1 ? inner[1] : u'\0';
    if (c0 == u'<' && c1 == u'=')
        op = Op::Le, i = 2;
    else if (c0 == u'<' && c1 == u'>')
        op = Op::Ne, i = 2;
    else if (c0 == u'>' && c1 == u'=')
        op = Op::Ge, i = 2;
    else if (c0 == u'<')
        op = Op::Lt, i = 1;
    else if (c0 == u'>')
        op = Op::Gt, i = 1;
    else if (c0 == u'=')
        op = Op::Eq, i = 1;
    else
        return false;
    char buf[40];
    std::size_t k = 0;
    for (; i < inner.size() && k + 1 < sizeof buf; ++i) {
        const char16_t c = inner[i];
        if (c > 0x7F) return false;
        if (c != u' ') buf[k++] = static_cast<char>(c);
    }
    buf[k] = '\0';
    char* end = nullptr;
    bound = std::strtod(buf, &end);
    return k > 0 && end == buf + k;
}

bool condition_holds(Op op, double v, double bound) {
    switch (op) {
        case Op::Lt:
            return v < bound;
        case Op::Le:
            return v <= bound;
        case Op::Gt:
            return v > bound;
        case Op::Ge:
            return v >= bound;
        case Op::Eq:
            return v == bound;
        case Op::Ne:
            return v != bound;
        case Op::None:
            break;
    }
    return true;
}

Sections split_sections(std::u16string_view code) {
    Sections r;
    std::size_t start = 0;
    std::size_t i = 0;
    auto finish = [&](std::size_t end) {
        if (r.count < 4) {
            Section& sec = r.s[static_cast<std::size_t>(r.count)];
            sec.text = code.substr(start, end - start);
            ++r.count;
        }
    };
    Section* current = &r.s[0];
    while (i < code.size()) {
        const char16_t c = code[i];
        if (c == u'"') {
            i = skip_quoted(code, i, u'"');
        } else if (c == u'\\' || c == u'_' || c == u'*') {
            i += 2;
        } else if (c == u'[') {
            const std::size_t end = skip_quoted(code, i, u']');
            const std::size_t inner_end = end > i + 1 && code[end - 1] == u']' ? end - 1 : end;
            if (current)
                parse_condition(code.substr(i + 1, inner_end - i - 1), current->op, current->bound);
            i = end;
        } else if (c == u';') {
            finish(i);
            start = ++i;
            current = r.count < 4 ? &r.s[static_cast<std::size_t>(r.count)] : nullptr;
        } else {
            if (c == u'@' && current) current->has_at = true;
            ++i;
        }
    }
    finish(std::min(i, code.size()));
    return r;
}

// ---- tokens of one section --------------------------------------------------------------------

enum class T : std::uint8_t {
    Lit,      // text [pos, pos + len) of the code
    Blank,    // _x: one blank
    Digit,    // 0 # ?
    Point,    // .
    Comma,    // ,
    Percent,  // %
    Exp,      // E+ or E- (ch is the sign)
    Slash,    // /
    At,       // @
    General,  // the word General
    Year,
    Month,
    Minute,
    Day,
    Hour,
    Second,
    ElapsedH,
    ElapsedM,
    ElapsedS,
    AmPm,  // AM/PM (ch: 'A' or 'a')
    AP,    // A/P (ch: 'A' or 'a')
};

struct Tok {
    T kind = T::Lit;
    char16_t ch = 0;
    std::uint8_t count = 0;  // run length of date letters
    std::uint16_t pos = 0;
    std::uint16_t len = 0;
};

constexpr std::size_t kMaxTokens = 160;

struct Tokens {
    std::array<Tok, kMaxTokens> t;
    std::size_t n = 0;
    std::u16string_view text;
    void add(T kind, std::size_t pos, std::size_t len, char16_t ch = 0, int count = 0) {
        if (n == kMaxTokens) return;
        t[n++] = Tok{kind, ch, static_cast<std::uint8_t>(count), static_cast<std::uint16_t>(pos),
                     static_cast<std::uint16_t>(len)};
    }
    bool is_date() const {
        for (std::size_t i = 0; i < n; ++i) {
            if (t[i].kind >= T::Year) return true;
        }
        return false;
    }
};

bool is_currency_char(char16_t c) {
    return c == u'$' || c == u'\u20AC' || c == u'\u00A3' || c == u'\u00A5';
}

Tokens tokenize(std::u16string_view s) {
    Tokens r;
    r.text = s;
    std::size_t i = 0;
    while (i < s.size() && i < 0xFFFF) {
        const char16_t c = s[i];
        const char16_t lc = lower(c);
        if (c == u'"') {
            const std::size_t end = skip_quoted(s, i, u'"');
            const std::size_t inner_end = end > i + 1 && s[end - 1] == u'"' ? end - 1 : end;
            r.add(T::Lit, i + 1, inner_end - i - 1);
            i = end;
        } else if (c == u'\\') {
            if (i + 1 < s.size()) r.add(T::Lit, i + 1, 1);
            i += 2;
        } else if (c == u'_') {
            r.add(T::Blank, i, 2);
            i += 2;
        } else if (c == u'*') {
            i += 2;  // fill: nothing in a wide column
        } else if (c == u'[') {
            const std::size_t end = skip_quoted(s, i, u']');
            const std::size_t inner_end = end > i + 1 && s[end - 1] == u']' ? end - 1 : end;
            const std::u16string_view inner = s.substr(i + 1, inner_end - i - 1);
            if (!inner.empty() && inner[0] == u'$') {
                // [$€-407]: the symbol before the locale id.
                std::size_t k = 1;
                while (k < inner.size() && inner[k] != u'-')
                    ++k;
                if (k > 1) r.add(T::Lit, i + 2, k - 1);
            } else if (!inner.empty()) {
                const char16_t h = lower(inner[0]);
                bool same = h == u'h' || h == u'm' || h == u's';
                for (char16_t x : inner)
                    same = same && lower(x) == h;
                if (same) {
                    r.add(h == u'h'   ? T::ElapsedH
                          : h == u'm' ? T::ElapsedM
                                      : T::ElapsedS,
                          i, end - i, 0, static_cast<int>(inner.size()));
                }
                // Colours, conditions and other tags show nothing.
            }
            i = end;
        } else if (c == u'0' || c == u'#' || c == u'?') {
            r.add(T::Digit, i, 1, c);
            ++i;
        } else if (c == u'.') {
            r.add(T::Point, i, 1);
            ++i;
        } else if (c == u',') {
            r.add(T::Comma, i, 1);
            ++i;
        } else if (c == u'%') {
            r.add(T::Percent, i, 1);
            ++i;
        } else if (c == u'E' && i + 1 < s.size() && (s[i + 1] == u'+' || s[i + 1] == u'-')) {
            r.add(T::Exp, i, 2, s[i + 1]);
            i += 2;
        } else if (c == u'@') {
            r.add(T::At, i, 1);
            ++i;
        } else if (lc == u'a' && ascii_iequal(s, i, "am/pm")) {
            r.add(T::AmPm, i, 5, c);
            i += 5;
        } else if (lc == u'a' && ascii_iequal(s, i, "a/p")) {
            r.add(T::AP, i, 3, c);
            i += 3;
        } else if (lc == u'g' && ascii_iequal(s, i, "general")) {
            r.add(T::General, i, 7);
            i += 7;
        } else if (c == u'/') {
            r.add(T::Slash, i, 1);
            ++i;
        } else if (lc == u'y' || lc == u'm' || lc == u'd' || lc == u'h' || lc == u's') {
            std::size_t k = i;
            while (k < s.size() && lower(s[k]) == lc)
                ++k;
            const T kind = lc == u'y'   ? T::Year
                           : lc == u'm' ? T::Month
                           : lc == u'd' ? T::Day
                           : lc == u'h' ? T::Hour
                                        : T::Second;
            r.add(kind, i, k - i, 0, static_cast<int>(std::min<std::size_t>(k - i, 255)));
            i = k;
        } else {
            r.add(T::Lit, i, 1);
            ++i;
        }
    }
    // m and mm mean minutes right after hours or right before seconds.
    for (std::size_t k = 0; k < r.n; ++k) {
        Tok& tk = r.t[k];
        if (tk.kind != T::Month || tk.count > 2) continue;
        bool minute = false;
        for (std::size_t j = k; j-- > 0;) {
            const T kind = r.t[j].kind;
            if (kind < T::Year) continue;
            minute = kind == T::Hour || kind == T::ElapsedH;
            break;
        }
        for (std::size_t j = k + 1; !minute && j < r.n; ++j) {
            const T kind = r.t[j].kind;
            if (kind < T::Year) continue;
            minute = kind == T::Second || kind == T::ElapsedS;
            break;
        }
        if (minute) tk.kind = T::Minute;
    }
    return r;
}

void append_lit(std::u16string& out, const Tokens& tk, const Tok& t) {
    out.append(tk.text.substr(t.pos, t.len));
}

// ---- numbers ----------------------------------------------------------------------------------

// Writes integer digits into integer placeholders (right-aligned: extra digits go to the first
// placeholder) and fraction digits into fraction placeholders, with the section's literals.
struct NumberLayout {
    std::size_t int_places = 0;
    std::size_t frac_places = 0;
    std::size_t exp_places = 0;
    bool grouping = false;
    int scale_commas = 0;
    int percents = 0;
    std::size_t exp_index = kMaxTokens;  // index of the E+/E- token
    std::array<bool, kMaxTokens> silent_comma{};
};

NumberLayout layout_of(const Tokens& tk, std::size_t begin, std::size_t end) {
    NumberLayout l;
    bool seen_point = false;
    bool in_exp = false;
    std::size_t first_int = kMaxTokens, last_int = kMaxTokens;
    for (std::size_t i = begin; i < end; ++i) {
        const Tok& t = tk.t[i];
        switch (t.kind) {
            case T::Digit:
                if (in_exp) {
                    ++l.exp_places;
                } else if (seen_point) {
                    ++l.frac_places;
                } else {
                    ++l.int_places;
                    if (first_int == kMaxTokens) first_int = i;
                    last_int = i;
                }
                break;
            case T::Point:
                if (!in_exp) seen_point = true;
                break;
            case T::Percent:
                ++l.percents;
                break;
            case T::Exp:
                if (!in_exp) {
                    in_exp = true;
                    l.exp_index = i;
                }
                break;
            default:
                break;
        }
    }
    // Commas: between integer placeholders they group thousands; a run right after a digit
    // placeholder and not followed by one divides by 1000 each.
    for (std::size_t i = begin; i < end; ++i) {
        if (tk.t[i].kind != T::Comma) continue;
        if (first_int != kMaxTokens && i > first_int && i < last_int) {
            l.grouping = true;
            l.silent_comma[i] = true;
            continue;
        }
        if (i > begin && (tk.t[i - 1].kind == T::Digit || l.silent_comma[i - 1])) {
            std::size_t j = i;
            while (j < end && tk.t[j].kind == T::Comma)
                ++j;
            if (j == end || tk.t[j].kind != T::Digit) {
                for (std::size_t k = i; k < j; ++k)
                    l.silent_comma[k] = true;
                if (i > begin && tk.t[i - 1].kind == T::Digit) {
                    l.scale_commas += static_cast<int>(j - i);
                }
            }
        }
    }
    return l;
}

// Integer digits of d: the first max(point, 0) digits.
struct IntegerWriter {
    const Decimal10& d;
    int length;  // number of integer digits (0 when the integer part is zero)
    bool grouping;

    void put_digit_at(std::u16string& out, int from_right) const {
        out += static_cast<char16_t>(u'0' + d.digit(length - 1 - from_right));
        if (grouping && from_right > 0 && from_right % 3 == 0) out += u',';
    }
    // Placeholder number `index` (0 = leftmost) of `places`.
    void put(std::u16string& out, std::size_t index, std::size_t places, char16_t kind) const {
        const int from_right = static_cast<int>(places - 1 - index);
        if (index == 0) {
            for (int r = length - 1; r > from_right; --r)
                put_digit_at(out, r);
        }
        if (from_right < length) {
            put_digit_at(out, from_right);
        } else if (kind == u'0') {
            out += u'0';
            if (grouping && from_right > 0 && from_right % 3 == 0) out += u',';
        } else if (kind == u'?') {
            out += u' ';
        }
    }
};

// Fixed and scientific forms of one section for |value| = d (already scaled by percent and
// thousands commas).
void render_fixed(std::u16string& out, const Tokens& tk, const NumberLayout& l, Decimal10 d,
                  std::size_t begin, std::size_t end) {
    const bool scientific = l.exp_index != kMaxTokens;
    int exponent = 0;
    if (scientific && !d.zero()) {
        // One integer placeholder: one digit before the point. Several: the exponent is a
        // multiple of their number (engineering form, ##0.0E+0). None: 0.xxx.
        const int ip = static_cast<int>(l.int_places);
        const auto place = [ip](int e) {
            if (ip > 1) return (e >= 0 ? e / ip : -((-e + ip - 1) / ip)) * ip;
            return ip == 0 ? e + 1 : e;
        };
        int e = d.point - 1;
        exponent = place(e);
        Decimal10 mantissa = d;
        mantissa.point -= exponent;
        mantissa.round_to_decimals(static_cast<int>(l.frac_places));
        if (mantissa.point + exponent - 1 != e) {
            // Rounding carried into a new digit (9.99 -> 10.0): place the exponent again.
            e = mantissa.point + exponent - 1;
            exponent = place(e);
            mantissa = d;
            mantissa.point -= exponent;
            mantissa.round_to_decimals(static_cast<int>(l.frac_places));
        }
        d = mantissa;
    } else {
        d.round_to_decimals(static_cast<int>(l.frac_places));
    }
    const int int_len = d.point > 0 ? d.point : 0;
    const IntegerWriter iw{d, int_len, l.grouping};
    std::size_t int_index = 0, frac_index = 0, exp_index_digit = 0;
    bool seen_point = false;
    bool in_exp = false;
    bool int_written = l.int_places > 0;
    // The last fraction digit that is not zero (1-based within the fraction).
    const int frac_last = d.n > d.point ? d.n - d.point : 0;
    const int abs_exp = exponent < 0 ? -exponent : exponent;
    char exp_buf[16];
    std::snprintf(exp_buf, sizeof exp_buf, "%d", abs_exp);
    const int exp_len = static_cast<int>(std::char_traits<char>::length(exp_buf));
    for (std::size_t i = begin; i < end; ++i) {
        const Tok& t = tk.t[i];
        switch (t.kind) {
            case T::Lit:
                append_lit(out, tk, t);
                break;
            case T::Blank:
                out += u' ';
                break;
            case T::Percent:
                out += u'%';
                break;
            case T::Slash:
                out += u'/';
                break;
            case T::Comma:
                if (!l.silent_comma[i]) out += u',';
                break;
            case T::Point:
                if (in_exp || seen_point) {
                    out += u'.';
                    break;
                }
                if (!int_written) {
                    // No integer placeholders: the integer digits still show.
                    for (int r = int_len - 1; r >= 0; --r)
                        iw.put_digit_at(out, r);
                    int_written = true;
                }
                seen_point = true;
                out += u'.';
                break;
            case T::Exp:
                if (i != l.exp_index) {
                    append_lit(out, tk, t);
                    break;
                }
                in_exp = true;
                out += u'E';
                if (exponent < 0) {
                    out += u'-';
                } else if (t.ch == u'+') {
                    out += u'+';
                }
                break;
            case T::Digit:
                if (in_exp) {
                    // Extra exponent digits go to the first exponent placeholder.
                    const int from_right = static_cast<int>(l.exp_places - 1 - exp_index_digit);
                    if (exp_index_digit == 0) {
                        for (int k = 0; k < exp_len - from_right - 1; ++k) {
                            out += static_cast<char16_t>(exp_buf[k]);
                        }
                    }
                    out += from_right < exp_len
                               ? static_cast<char16_t>(exp_buf[exp_len - 1 - from_right])
                               : u'0';
                    ++exp_index_digit;
                } else if (seen_point) {
                    const int f = static_cast<int>(++frac_index);
                    if (f <= frac_last) {
                        out += static_cast<char16_t>(u'0' + d.digit(d.point + f - 1));
                    } else if (t.ch == u'0') {
                        out += u'0';
                    } else if (t.ch == u'?') {
                        out += u' ';
                    }
                } else {
                    iw.put(out, int_index++, l.int_places, t.ch);
                }
                break;
            default:
                break;  // @ and stray tokens show nothing in a number section
        }
    }
}

// The best fraction num/den for 0 <= f < 1 with den <= max_den (ties: smaller denominator).
void best_fraction(double f, long long max_den, long long& num, long long& den) {
    num = 0;
    den = 1;
    double best = f;
    for (long long q = 1; q <= max_den; ++q) {
        const long long p = std::llround(f * static_cast<double>(q));
        const double err = std::fabs(f - static_cast<double>(p) / static_cast<double>(q));
        if (err < best - 1e-12) {
            best = err;
            num = p;
            den = q;
            if (err == 0.0) break;
        }
    }
}

// Fractions: [integer placeholders] literal numerator-placeholders / denominator-placeholders
// (or a fixed denominator such as /8).
bool render_fraction(std::u16string& out, const Tokens& tk, std::size_t slash, double a,
                     std::size_t begin, std::size_t end) {
    // Numerator: the digit placeholders right before the slash.
    std::size_t num_begin = slash;
    while (num_begin > begin && tk.t[num_begin - 1].kind == T::Digit)
        --num_begin;
    // Denominator: placeholders or literal digits right after it.
    std::size_t den_end = slash + 1;
    long long fixed_den = 0;
    std::size_t den_places = 0;
    while (den_end < end) {
        const Tok& t = tk.t[den_end];
        if (t.kind == T::Digit) {
            if (t.ch == u'0' && fixed_den > 0) {
                if (fixed_den > 1000000000) return false;
                fixed_den *= 10;
            } else {
                ++den_places;
            }
        } else if (t.kind == T::Lit && t.len == 1 && tk.text[t.pos] >= u'1' &&
                   tk.text[t.pos] <= u'9' && den_places == 0) {
            if (fixed_den > 1000000000) return false;
            fixed_den = fixed_den * 10 + (tk.text[t.pos] - u'0');
        } else {
            break;
        }
        ++den_end;
    }
    // Beyond 15 digits there is no fraction left to show.
    if (num_begin == slash || (den_places == 0 && fixed_den == 0) || a >= 1e15) return false;
    // Integer part: placeholders before the numerator (usually separated by a blank).
    std::size_t int_places = 0;
    for (std::size_t i = begin; i < num_begin; ++i) {
        if (tk.t[i].kind == T::Digit) ++int_places;
    }
    const std::size_t num_places = slash - num_begin;
    double whole = 0;
    double frac = a;
    if (int_places > 0) {
        whole = std::floor(a);
        frac = a - whole;
    }
    long long num = 0, den = 1;
    if (fixed_den > 0) {
        den = fixed_den;
        num = std::llround(frac * static_cast<double>(den));
    } else {
        long long max_den = 1;
        for (std::size_t k = 0; k < den_places && k < 5; ++k)
            max_den *= 10;
        best_fraction(frac, max_den - 1, num, den);
        if (int_places == 0 && num == 0 && frac > 0) num = 0;
    }
    if (int_places > 0 && num == den) {
        whole += 1;
        num = 0;
    }
    const bool hide_fraction = int_places > 0 && num == 0;
    // Integer digits.
    Decimal10 w = decimal_of(whole);
    const IntegerWriter iw{w, w.point > 0 ? w.point : 0, false};
    std::size_t int_index = 0;
    char buf[32];
    for (std::size_t i = begin; i < end; ++i) {
        const Tok& t = tk.t[i];
        if (i >= num_begin && i < den_end) {
            if (i == num_begin) {
                std::snprintf(buf, sizeof buf, "%lld", num);
                const std::size_t len = std::char_traits<char>::length(buf);
                const std::size_t width = std::max(len, num_places);
                if (hide_fraction) {
                    for (std::size_t k = 0; k < width; ++k)
                        out += u' ';
                } else {
                    for (std::size_t k = len; k < width; ++k)
                        out += u' ';
                    append_ascii(out, buf);
                }
            } else if (i == slash) {
                out += hide_fraction ? u' ' : u'/';
                std::snprintf(buf, sizeof buf, "%lld", den);
                const std::size_t len = std::char_traits<char>::length(buf);
                const std::size_t width = fixed_den > 0 ? len : std::max(len, den_places);
                if (hide_fraction) {
                    for (std::size_t k = 0; k < width; ++k)
                        out += u' ';
                } else {
                    append_ascii(out, buf);
                    for (std::size_t k = len; k < width; ++k)
                        out += u' ';
                }
            }
            continue;
        }
        switch (t.kind) {
            case T::Lit:
                append_lit(out, tk, t);
                break;
            case T::Blank:
                out += u' ';
                break;
            case T::Percent:
                out += u'%';
                break;
            case T::Point:
                out += u'.';
                break;
            case T::Comma:
                out += u',';
                break;
            case T::Digit: {
                // Zero itself still shows one digit.
                const bool last = int_index + 1 == int_places;
                const char16_t kind = whole == 0 && hide_fraction && last ? u'0' : t.ch;
                iw.put(out, int_index++, int_places, kind);
                break;
            }
            default:
                break;
        }
    }
    return true;
}

// ---- dates and times --------------------------------------------------------------------------

const char* const kMonths[] = {"January",   "February", "March",    "April",
                               "May",       "June",     "July",     "August",
                               "September", "October",  "November", "December"};
const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                             "Thursday", "Friday", "Saturday"};

void append_name(std::u16string& out, const char* name, int count) {
    if (count == 3) {
        for (int k = 0; k < 3 && name[k]; ++k)
            out += static_cast<char16_t>(name[k]);
    } else if (count == 5) {
        out += static_cast<char16_t>(name[0]);
    } else {
        append_ascii(out, name);
    }
}

bool render_date(std::u16string& out, const Tokens& tk, double serial) {
    if (!(serial >= 0) || serial >= static_cast<double>(last_serial + 1)) return false;
    // Fraction digits of seconds shown (ss.0, ss.00, ss.000) set the rounding unit.
    int sub_digits = 0;
    bool twelve_hour = false;
    for (std::size_t i = 0; i < tk.n; ++i) {
        const T kind = tk.t[i].kind;
        if (kind == T::AmPm || kind == T::AP) twelve_hour = true;
        if (kind == T::Point) {
            int k = 0;
            while (i + 1 + static_cast<std::size_t>(k) < tk.n &&
                   tk.t[i + 1 + static_cast<std::size_t>(k)].kind == T::Digit)
                ++k;
            sub_digits = std::max(sub_digits, std::min(k, 3));
        }
    }
    long long unit = 1;
    for (int k = 0; k < sub_digits; ++k)
        unit *= 10;
    const long long per_day = 86400LL * unit;
    const long long ticks = std::llround(serial * static_cast<double>(per_day));
    const long long days = ticks / per_day;
    const long long in_day = ticks % per_day;
    const long long secs_total = ticks / unit;  // whole seconds since serial 0
    const long long sub = in_day % unit;
    const long long sec_of_day = in_day / unit;
    const int hour = static_cast<int>(sec_of_day / 3600);
    const int minute = static_cast<int>(sec_of_day / 60 % 60);
    const int second = static_cast<int>(sec_of_day % 60);
    if (days > last_serial) return false;
    const CivilDate date = civil_of_serial(days);
    const int weekday = static_cast<int>((days + 6) % 7);  // Excel: serial 1 is a Sunday
    bool after_point = false;
    for (std::size_t i = 0; i < tk.n; ++i) {
        const Tok& t = tk.t[i];
        const int c = t.count;
        switch (t.kind) {
            case T::Lit:
                append_lit(out, tk, t);
                break;
            case T::Blank:
                out += u' ';
                break;
            case T::Comma:
                out += u',';
                break;
            case T::Percent:
                out += u'%';
                break;
            case T::Slash:
                out += u'/';
                break;
            case T::Exp:
                append_lit(out, tk, t);
                break;
            case T::Point:
                out += u'.';
                after_point = true;
                break;
            case T::Digit: {
                if (!after_point) {
                    if (t.ch == u'0') out += u'0';
                    break;
                }
                // Digits of the fraction of a second, in order.
                std::size_t k = 0;
                for (std::size_t j = i; j-- > 0 && tk.t[j].kind == T::Digit;)
                    ++k;
                long long v = sub;
                for (int p = static_cast<int>(k) + 1; p < sub_digits; ++p)
                    v /= 10;
                out += k < static_cast<std::size_t>(sub_digits)
                           ? static_cast<char16_t>(u'0' + v % 10)
                           : u'0';
                break;
            }
            case T::Year:
                if (c <= 2) {
                    append_int(out, date.year % 100, 2);
                } else {
                    append_int(out, date.year, 4);
                }
                break;
            case T::Month:
                if (c <= 2) {
                    append_int(out, date.month, c);
                } else {
                    append_name(out, kMonths[date.month - 1], c);
                }
                break;
            case T::Minute:
                append_int(out, minute, c >= 2 ? 2 : 1);
                break;
            case T::Day:
                if (c <= 2) {
                    append_int(out, date.day, c);
                } else {
                    append_name(out, kDays[weekday], c == 3 ? 3 : 4);
                }
                break;
            case T::Hour: {
                int h = hour;
                if (twelve_hour) {
                    h %= 12;
                    if (h == 0) h = 12;
                }
                append_int(out, h, c >= 2 ? 2 : 1);
                break;
            }
            case T::Second:
                append_int(out, second, c >= 2 ? 2 : 1);
                break;
            case T::ElapsedH:
                append_int(out, secs_total / 3600, c);
                break;
            case T::ElapsedM:
                append_int(out, secs_total / 60, c);
                break;
            case T::ElapsedS:
                append_int(out, secs_total, c);
                break;
            case T::AmPm:
                out += hour < 12 ? (t.ch == u'a' ? u'a' : u'A') : (t.ch == u'a' ? u'p' : u'P');
                out += t.ch == u'a' ? u'm' : u'M';
                break;
            case T::AP:
                out += hour < 12 ? (t.ch == u'a' ? u'a' : u'A') : (t.ch == u'a' ? u'p' : u'P');
                break;
            default:
                break;
        }
    }
    return true;
}

// ---- one section ------------------------------------------------------------------------------

void render_number_section(std::u16string& out, std::u16string_view text, double value,
                           bool minus) {
    const Tokens tk = tokenize(text);
    if (tk.is_date()) {
        const std::size_t mark = out.size();
        if (minus || !render_date(out, tk, std::fabs(value))) {
            out.resize(mark);
            out.append(u"########");  // Excel cannot show negative or too large dates
        }
        return;
    }
    if (minus) out += u'-';
    const double a = std::fabs(value);
    for (std::size_t i = 0; i < tk.n; ++i) {
        if (tk.t[i].kind != T::General) continue;
        for (std::size_t k = 0; k < tk.n; ++k) {
            const Tok& t = tk.t[k];
            if (t.kind == T::General) {
                out.append(general_cell_text(a));
            } else if (t.kind == T::Blank) {
                out += u' ';
            } else if (t.kind != T::Digit && t.kind != T::At) {
                append_lit(out, tk, t);
            }
        }
        return;
    }
    // A fraction: a slash with digit placeholders on both sides (a fixed denominator counts).
    for (std::size_t i = 1; i + 1 < tk.n; ++i) {
        if (tk.t[i].kind != T::Slash || tk.t[i - 1].kind != T::Digit) continue;
        const Tok& next = tk.t[i + 1];
        const bool fixed = next.kind == T::Lit && next.len == 1 && text[next.pos] >= u'1' &&
                           text[next.pos] <= u'9';
        if (next.kind != T::Digit && !fixed) continue;
        const NumberLayout l = layout_of(tk, 0, tk.n);
        const double scaled = l.percents ? a * std::pow(100.0, l.percents) : a;
        if (render_fraction(out, tk, i, scaled, 0, tk.n)) return;
    }
    const NumberLayout l = layout_of(tk, 0, tk.n);
    Decimal10 d = decimal_of(a);
    if (!d.zero()) d.point += 2 * l.percents - 3 * l.scale_commas;
    render_fixed(out, tk, l, d, 0, tk.n);
}

void render_text_section(std::u16string& out, std::u16string_view section,
                         std::u16string_view text) {
    const Tokens tk = tokenize(section);
    for (std::size_t i = 0; i < tk.n; ++i) {
        const Tok& t = tk.t[i];
        switch (t.kind) {
            case T::At:
                out.append(text);
                break;
            case T::Blank:
                out += u' ';
                break;
            case T::Lit:
            case T::Point:
            case T::Comma:
            case T::Percent:
            case T::Slash:
                append_lit(out, tk, t);
                break;
            default:
                break;
        }
    }
}

// The text section of a code: the 4th section, or a last section holding '@'.
int text_section_index(const Sections& secs) {
    if (secs.count == 4) return 3;
    if (secs.count > 0 && secs.s[static_cast<std::size_t>(secs.count - 1)].has_at) {
        return secs.count - 1;
    }
    return -1;
}

}  // namespace

// Excel's General text of a number in formulas (what CONCATENATE and & write): the value
// rounded to 15 significant digits, trailing zeros dropped. The plain form is used for
// magnitudes from 1E-9 up to (not including) 1E+15, so every integer digit is significant; at or
// above 1E+15 the plain form would show more digits than Excel keeps, and below 1E-9 it would be
// mostly leading zeros, so both are written m.mmmE+x with the exponent in as few digits as it
// needs (1E+20, 1.5E-10, 1.23456789012346E+17). Excel is documented for the large side only;
// for small numbers with many digits (3.33333333333333E-06) it may choose the exponent form
// earlier than this rule does.
std::u16string general_text(double number) {
    std::u16string out;
    if (!std::isfinite(number)) return u"#NUM!";
    Decimal10 d = decimal_of(number);
    if (d.zero()) return u"0";
    if (number < 0) out += u'-';
    const int e = d.point - 1;
    if (e >= 15 || e < -9) {
        append_scientific(out, d, 1);
    } else {
        append_plain(out, d);
    }
    return out;
}

std::u16string general_cell_text(double number) {
    std::u16string out;
    if (!std::isfinite(number)) return u"#NUM!";
    Decimal10 d = decimal_of(number);
    if (d.zero()) return u"0";
    if (number < 0) out += u'-';
    const int e = d.point - 1;
    bool plain = false;
    if (e >= 0 && e <= 10) {
        // Integer digits plus the point and as many decimals as fit 11 characters.
        d.round_to_decimals(e >= 9 ? 0 : 9 - e);
        plain = d.point <= 11;
    } else if (e >= -4 && e < 0) {
        d.round_to_decimals(9);  // 0.xxxxxxxxx
        plain = true;
    } else if (e < -4) {
        // Tiny numbers stay plain only when every digit fits.
        plain = d.n - d.point <= 9;
    }
    if (plain) {
        append_plain(out, d);
    } else {
        d.round_to_digits(6);
        append_scientific(out, d, 2);
    }
    return out;
}

std::u16string format_number(double number, std::u16string_view code) {
    std::u16string out;
    if (!std::isfinite(number)) return u"#NUM!";
    if (code.empty()) return general_cell_text(number);
    const Sections secs = split_sections(code);
    const int text_index = text_section_index(secs);
    const int numeric = text_index >= 0 ? text_index : secs.count;
    if (numeric == 0) return general_cell_text(number);
    const auto sec = [&](int k) -> const Section& { return secs.s[static_cast<std::size_t>(k)]; };
    bool conditional = false;
    for (int k = 0; k < numeric; ++k)
        conditional = conditional || sec(k).op != Op::None;
    int chosen = 0;
    bool minus = false;
    if (conditional) {
        // The first section whose condition holds; a section without one takes the rest.
        chosen = numeric - 1;
        for (int k = 0; k < numeric; ++k) {
            if (sec(k).op == Op::None || condition_holds(sec(k).op, number, sec(k).bound)) {
                chosen = k;
                break;
            }
        }
        // A section meant for negatives ([<0], [<=-1] …) shows no sign of its own.
        const Section& c = sec(chosen);
        const bool for_negatives =
            (c.op == Op::Lt && c.bound <= 0) || (c.op == Op::Le && c.bound < 0);
        minus = number < 0 && !for_negatives;
    } else if (numeric == 1) {
        minus = number < 0;
    } else if (number < 0) {
        chosen = 1;
    } else if (number == 0 && numeric >= 3) {
        chosen = 2;
    }
    const std::u16string_view text = sec(chosen).text;
    if (text.empty()) return out;
    out.reserve(text.size() + 24);
    render_number_section(out, text, number, minus);
    return out;
}

std::u16string format_text(std::u16string_view text, std::u16string_view code) {
    const Sections secs = split_sections(code);
    const int index = text_section_index(secs);
    if (index < 0) return std::u16string(text);
    std::u16string out;
    render_text_section(out, secs.s[static_cast<std::size_t>(index)].text, text);
    return out;
}

std::u16string format_cell_text(const Value& value, std::u16string_view code, bool date1904) {
    switch (value.kind()) {
        case Kind::Empty:
        case Kind::Null:
        case Kind::Object:
        case Kind::Array:
            return {};
        case Kind::Boolean:
            return value.boolean_value() ? u"TRUE" : u"FALSE";
        case Kind::Error:
            return xlerr::display_text(value.error_code());
        case Kind::String:
            return format_text(value.string_value(), code);
        case Kind::Date:
            return format_number(serial_of_ole(value.date_value()), code);
        case Kind::Double:
            if (date1904 && shows_date(code))
                return format_number(value.to_number() + date1904_offset, code);
            return format_number(value.to_number(), code);
        default:
            return format_number(value.to_number(), code);
    }
}

bool is_date_format(std::u16string_view code) {
    const Sections secs = split_sections(code);
    if (secs.count == 0 || text_section_index(secs) == 0) return false;
    return tokenize(secs.s[0].text).is_date();
}

bool shows_date(std::u16string_view code) {
    const Sections secs = split_sections(code);
    if (secs.count == 0 || text_section_index(secs) == 0) return false;
    const Tokens tk = tokenize(secs.s[0].text);
    for (std::size_t i = 0; i < tk.n; ++i) {
        const T kind = tk.t[i].kind;
        if (kind == T::ElapsedH || kind == T::ElapsedM || kind == T::ElapsedS) return false;
    }
    return tk.is_date();
}

bool is_currency_format(std::u16string_view code) {
    const Sections secs = split_sections(code);
    if (secs.count == 0 || text_section_index(secs) == 0) return false;
    const std::u16string_view first = secs.s[0].text;
    const Tokens tk = tokenize(first);
    if (tk.is_date()) return false;
    for (std::size_t i = 0; i < tk.n; ++i) {
        const Tok& t = tk.t[i];
        if (t.kind != T::Lit) continue;
        for (char16_t c : first.substr(t.pos, t.len)) {
            if (is_currency_char(c)) return true;
        }
        // A [$symbol-locale] token names a currency even with an unusual symbol.
        if (t.pos >= 2 && first[t.pos - 2] == u'[' && first[t.pos - 1] == u'$') return true;
    }
    return false;
}

std::u16string builtin_format_code(unsigned id) {
    switch (id) {
        case 0:
            return u"General";
        case 1:
            return u"0";
        case 2:
            return u"0.00";
        case 3:
            return u"#,##0";
        case 4:
            return u"#,##0.00";
        case 5:
            return u"\"$\"#,##0_);\\(\"$\"#,##0\\)";
        case 6:
            return u"\"$\"#,##0_);[Red]\\(\"$\"#,##0\\)";
        case 7:
            return u"\"$\"#,##0.00_);\\(\"$\"#,##0.00\\)";
        case 8:
            return u"\"$\"#,##0.00_);[Red]\\(\"$\"#,##0.00\\)";
        case 9:
            return u"0%";
        case 10:
            return u"0.00%";
        case 11:
            return u"0.00E+00";
        case 12:
            return u"# ?/?";
        case 13:
            return u"# ?\?/?\?";
        case 14:
            return u"m/d/yyyy";
        case 15:
            return u"d-mmm-yy";
        case 16:
            return u"d-mmm";
        case 17:
            return u"mmm-yy";
        case 18:
            return u"h:mm AM/PM";
        case 19:
            return u"h:mm:ss AM/PM";
        case 20:
            return u"h:mm";
        case 21:
            return u"h:mm:ss";
        case 22:
            return u"m/d/yyyy h:mm";
        case 37:
            return u"#,##0 ;(#,##0)";
        case 38:
            return u"#,##0 ;[Red](#,##0)";
        case 39:
            return u"#,##0.00;(#,##0.00)";
        case 40:
            return u"#,##0.00;[Red](#,##0.00)";
        case 41:
            return u"_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)";
        case 42:
            return u"_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)";
        case 43:
            return u"_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)";
        case 44:
            return u"_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)";
        case 45:
            return u"mm:ss";
        case 46:
            return u"[h]:mm:ss";
        case 47:
            return u"mmss.0";
        case 48:
            return u"##0.0E+0";
        case 49:
            return u"@";
        default:
            return {};
    }
}

}  // namespace tb::standin
