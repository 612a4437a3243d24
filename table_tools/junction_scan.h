// The junction line scanner of junction_gate and its routing decision.
//
// A data line is read the way the C scan routines read it with the format
//   %s %d %d %s %d %s %d %d %s %d %s %s %lf %d %s %s %lf %hu %hu %lf
// (fields separated by any run of white space, numbers converted as scanf converts them),
// but over a string_view: text fields of any length are fine and nothing is copied except
// the rare real number that only strtod converts. A line is decided on two columns, its
// ratio (column 17, a real number) and its support (column 18, an unsigned 16-bit number).
// Header-only, so that the program stays one source file; its test and fuzz target include
// it too.
#pragma once

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace junction_gate {

inline constexpr int kColumns = 20;
inline constexpr int kRatio = 16;  // zero-based positions of the two deciding columns
inline constexpr int kSupport = 17;

enum class Kind : unsigned char { kText, kInt32, kReal, kU16 };

// The column types of a junction line, in order.
inline constexpr Kind kLayout[kColumns] = {
    Kind::kText,  Kind::kInt32, Kind::kInt32, Kind::kText, Kind::kInt32, Kind::kText, Kind::kInt32,
    Kind::kInt32, Kind::kText,  Kind::kInt32, Kind::kText, Kind::kText,  Kind::kReal, Kind::kInt32,
    Kind::kText,  Kind::kText,  Kind::kReal,  Kind::kU16,  Kind::kU16,   Kind::kReal};

// The converted columns of one line. Only the slot matching a column's kind is set, and only
// for the columns that converted; text views point into the scanned line.
struct Fields {
    std::string_view text[kColumns];
    int int32[kColumns];
    double real[kColumns];
    unsigned short u16[kColumns];
};

// White space as the C library sees it in the "C" locale: space, \t, \n, \v, \f, \r.
struct SpaceTable {
    bool is[256] = {};
    constexpr SpaceTable() {
        for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) is[c] = true;
    }
};
inline constexpr SpaceTable kSpace;
inline bool is_space(char c) {
    return kSpace.is[static_cast<unsigned char>(c)];
}
inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
inline bool is_xdigit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Reads junction lines field by field. Holds scratch space for the rare real numbers that
// strtod has to convert, so one scanner is reused for every line of a run and allocates
// nothing once it has seen the longest such number.
class LineScanner {
   public:
    // Converts the columns of `line` into `out`. Returns how many converted, counting from
    // the first, or -1 when the line ends (or reaches a NUL byte) before the first column,
    // as the C scan routines count. Conversion stops at the first column that does not
    // convert; the columns after it keep whatever `out` held before.
    int scan(std::string_view line, Fields &out) { return read(line, out, kColumns, true); }

    // The ratio and support of `line`, read as scan() reads them. Returns false when one of
    // the first eighteen columns does not convert: the line then has no support to decide on.
    bool ratio_and_support(std::string_view line, double &ratio, unsigned short &support) {
        Fields f;
        if (read(line, f, kSupport + 1, false) <= kSupport) return false;
        ratio = f.real[kRatio];
        support = f.u16[kSupport];
        return true;
    }

   private:
    // scan() over the first `columns` columns. With `all_values` false, the columns before
    // the support other than the ratio are only checked, not converted: whether they convert
    // decides where the scan stops, their values decide nothing.
    int read(std::string_view line, Fields &out, int columns, bool all_values) {
        size_t nul = line.find('\0');
        if (nul != std::string_view::npos) line = line.substr(0, nul);
        const char *p = line.data();
        end_ = p + line.size();
        int done = 0;
        for (; done < columns; ++done) {
            while (p != end_ && is_space(*p)) ++p;
            if (p == end_) return done == 0 ? -1 : done;
            switch (kLayout[done]) {
                case Kind::kText: {
                    const char *start = p;
                    p = text_end(p);
                    out.text[done] = std::string_view(start, size_t(p - start));
                    break;
                }
                case Kind::kInt32: {
                    if (!all_values) {
                        if (!skip_integer(p)) return done;
                        break;
                    }
                    unsigned long mag;
                    bool neg, overflow;
                    if (!scan_integer(p, mag, neg, overflow)) return done;
                    out.int32[done] = to_int(mag, neg, overflow);
                    break;
                }
                case Kind::kU16: {
                    unsigned long mag;
                    bool neg, overflow;
                    if (!scan_integer(p, mag, neg, overflow)) return done;
                    out.u16[done] = to_ushort(mag, neg, overflow);
                    break;
                }
                case Kind::kReal:
                    if (!scan_real(p, all_values || done == kRatio ? &out.real[done] : nullptr))
                        return done;
                    break;
            }
        }
        return done;
    }

    // The end of the text field starting at p: the first white space, or the end of the line.
    const char *text_end(const char *p) const {
        while (p != end_ && !is_space(*p)) ++p;
        return p;
    }

    // An optional sign and a run of decimal digits, at least one; p moves past them.
    bool skip_integer(const char *&p) const {
        const char *q = p + (*p == '+' || *p == '-');
        const char *first = q;
        while (q != end_ && is_digit(*q)) ++q;
        if (q == first) return false;
        p = q;
        return true;
    }

    // An optional sign and a run of decimal digits; at least one digit. On success `p` is
    // past the digits and `mag` holds their value (with `overflow` set past 2^64 - 1).
    bool scan_integer(const char *&p, unsigned long &mag, bool &neg, bool &overflow) const {
        const char *q = p;
        neg = false;
        if (*q == '+' || *q == '-') neg = *q++ == '-';
        const char *first = q;
        mag = 0;
        overflow = false;
        for (; q != end_ && is_digit(*q); ++q) {
            unsigned long d = static_cast<unsigned long>(*q - '0');
            if (__builtin_mul_overflow(mag, 10ul, &mag) || __builtin_add_overflow(mag, d, &mag))
                overflow = true;
        }
        if (q == first) return false;
        p = q;
        return true;
    }

    // %d: the value strtol gives (saturated to the range of long), cut to int.
    static int to_int(unsigned long mag, bool neg, bool overflow) {
        constexpr unsigned long kMax = static_cast<unsigned long>(LONG_MAX);
        long v;
        if (neg)
            v = overflow || mag > kMax + 1 ? LONG_MIN : static_cast<long>(0ul - mag);
        else
            v = overflow || mag > kMax ? LONG_MAX : static_cast<long>(mag);
        return static_cast<int>(v);
    }

    // %hu: the value strtoul gives (a negative number wraps, too large saturates), cut to
    // 16 bits.
    static unsigned short to_ushort(unsigned long mag, bool neg, bool overflow) {
        unsigned long v = overflow ? ULONG_MAX : neg ? 0ul - mag : mag;
        return static_cast<unsigned short>(v);
    }

    // %lf: collects the characters the scan routines take for a real number (sign, then
    // "nan", "inf", "infinity", a hexadecimal or a decimal number with exponent); they
    // convert when strtod accepts at least one of them, which is when they hold a digit or
    // name a nan or an infinity. Stores the value strtod gives in `*value` when not null.
    bool scan_real(const char *&p, double *value) {
        const char *q = p;
        bool sign = false;
        if (*q == '+' || *q == '-') {
            sign = true;
            if (++q == end_) return false;
        }
        auto word = [&](const char *w) {  // case-insensitive match of `w` at q, consumed
            for (; *w; ++w, ++q)
                if (q == end_ || lower(*q) != *w) return false;
            return true;
        };
        bool plain = false;  // decimal notation, which from_chars converts
        char c = *q;
        if (lower(c) == 'n') {
            if (!word("nan")) return false;
        } else if (lower(c) == 'i') {
            if (!word("inf")) return false;
            // Once an 'i' follows "inf", the rest of "infinity" must follow too.
            if (q != end_ && lower(*q) == 'i' && !word("inity")) return false;
        } else {
            bool hex = false, got_digit = false, got_dot = false, got_e = false;
            char exp_char = 'e';
            if (c == '0') {
                ++q;
                if (q != end_ && lower(*q) == 'x') {
                    ++q;
                    hex = true;
                    exp_char = 'p';
                } else {
                    got_digit = true;
                }
            }
            for (; q != end_; ++q) {
                c = *q;
                if (is_digit(c) || (!got_e && hex && is_xdigit(c))) {
                    got_digit = true;
                } else if (got_e && lower(q[-1]) == exp_char && (c == '-' || c == '+')) {
                } else if (got_digit && !got_e && lower(c) == exp_char) {
                    got_e = got_dot = true;
                } else if (c == '.' && !got_dot) {
                    got_dot = true;
                } else {
                    break;
                }
            }
            size_t taken = size_t(q - p);
            if (taken == size_t(sign) || (hex && taken == 2 + size_t(sign))) return false;
            // A hexadecimal number starts with a 0; a decimal one converts only with a digit
            // in it (an exponent is taken only after a digit).
            if (!hex && !got_digit) return false;
            plain = !hex;
        }
        if (value && !(plain && exact_decimal(p, q, *value))) {
            const char *first = p + (*p == '+');
            auto [stop, ec] = plain ? std::from_chars(first, q, *value)
                                    : std::from_chars_result{first, std::errc::invalid_argument};
            if (ec != std::errc()) {
                // Hexadecimal, nan, infinity, or out of range: strtod's own answer.
                scratch_.assign(p, size_t(q - p));
                *value = std::strtod(scratch_.c_str(), nullptr);
            }
            (void)stop;
        }
        p = q;
        return true;
    }

    // Converts a decimal number as scan_real() takes it ([+-], digits with at most one '.', then
    // optionally e, [+-] and digits) when its digits, read as an integer, stay below 10^15 and
    // its power of ten lies within 10^-22..10^22: both are exact doubles, so the one
    // multiplication or division gives the correctly rounded value, as strtod does. Returns
    // false (converting nothing) for any other number. Most ratios are such numbers.
    static bool exact_decimal(const char *p, const char *e, double &value) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        bool neg = *p == '-';
        p += *p == '-' || *p == '+';
        uint64_t mant = 0;
        int digits = 0, scale = 0;
        for (; p != e && is_digit(*p); ++p, ++digits) mant = mant * 10 + unsigned(*p - '0');
        if (p != e && *p == '.')
            for (++p; p != e && is_digit(*p); ++p, ++digits, --scale)
                mant = mant * 10 + unsigned(*p - '0');
        if (digits > 15) return false;
        if (p != e) {  // the exponent, whose digits may be missing ("1e" reads as 1)
            ++p;
            bool eneg = p != e && *p == '-';
            p += p != e && (*p == '-' || *p == '+');
            int x = 0;
            for (; p != e; ++p) {
                if (x > 1000) return false;
                x = x * 10 + (*p - '0');
            }
            scale += eneg ? -x : x;
        }
        if (scale < -22 || scale > 22) return false;
        double v = double(mant);
        v = scale < 0 ? v / kPow10[-scale] : v * kPow10[scale];
        value = neg ? -v : v;
        return true;
    }

    const char *end_ = nullptr;
    std::string scratch_;
};

// The thresholds of a run: a line passes when its ratio is at least `min_ratio` and its
// support below `support_limit` (compared as unsigned 16-bit values).
struct Thresholds {
    unsigned short support_limit = 0;
    double min_ratio = 0.0;
};

// The integer threshold: strtol rules, then the low 16 bits as an unsigned value.
inline unsigned short parse_int_threshold(const char *arg) {
    return static_cast<unsigned short>(std::strtol(arg, nullptr, 10));
}

// The real threshold: strtod rules.
inline double parse_real_threshold(const char *arg) {
    return std::strtod(arg, nullptr);
}

// How a threshold argument that is not wholly a number was read: the text that made its
// number, or "0" when no number starts it. Empty when the argument is a number, blanks
// around it aside. `integer` picks the integer threshold's reading, else the real one's.
inline std::string threshold_misread(const char *arg, bool integer) {
    char *end;
    if (integer)
        (void)std::strtol(arg, &end, 10);
    else
        (void)std::strtod(arg, &end);
    const std::string_view blanks = " \t\n\v\f\r";
    const std::string_view rest(end);
    if (end != arg && rest.find_first_not_of(blanks) == std::string_view::npos) return "";
    std::string_view read(arg, size_t(end - arg));
    read.remove_prefix(std::min(read.size(), read.find_first_not_of(blanks)));
    return read.empty() ? "0" : std::string(read);
}

// True when a data line goes to the first output. A line without a ratio or support (one of
// its first eighteen columns did not convert) goes to the second.
inline bool passes(LineScanner &scanner, std::string_view line, const Thresholds &t) {
    double ratio;
    unsigned short support;
    if (!scanner.ratio_and_support(line, ratio, support)) return false;
    if (t.min_ratio > ratio) return false;  // false when either is a NaN
    return support < t.support_limit;
}

}  // namespace junction_gate
