// The junction line scanner of junction_gate and its routing decision.
//
// A data line is read the way the C scan routines read it with the format
//   %s %d %d %s %d %s %d %d %s %d %s %s %lf %d %s %s %lf %hu %hu %lf
// (fields separated by any run of white space, numbers converted as scanf converts them),
// but over a string_view: text fields of any length are fine and nothing is copied except
// the few characters of a real number. Header-only, so that the program stays one source
// file; its tests and fuzz target include it too.
#pragma once

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace junction_gate {

inline constexpr int kColumns = 20;
inline constexpr int kCol17 = 16;  // zero-based positions of the two deciding columns
inline constexpr int kCol18 = 17;

enum class Kind : unsigned char { kText, kInt32, kReal, kU16 };

// The column types of a junction line, in order.
inline constexpr Kind kLayout[kColumns] = {
    Kind::kText,  Kind::kInt32, Kind::kInt32, Kind::kText, Kind::kInt32, Kind::kText, Kind::kInt32,
    Kind::kInt32, Kind::kText,  Kind::kInt32, Kind::kText, Kind::kText,  Kind::kReal, Kind::kInt32,
    Kind::kText,  Kind::kText,  Kind::kReal,  Kind::kU16,  Kind::kU16,   Kind::kReal};

// Zero-based positions, among the first eighteen columns, of the integer columns before
// column 18, and of the real column before column 17.
inline constexpr int kIntColumns[] = {1, 2, 4, 6, 7, 9, 13};
inline constexpr int kCol13 = 12;

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

// Reads junction lines field by field. Holds scratch space (the masks of the quick path, the
// rare real numbers that strtod has to convert), so one scanner is reused for every line of
// a run and allocates nothing once it has seen the longest line.
class LineScanner {
   public:
    // Converts up to `max_columns` columns of `line` into `out`. Returns how many converted,
    // counting from the first, or -1 when the line ends (or reaches a NUL byte) before the
    // first column, as the C scan routines count. Conversion stops at the first column that
    // does not convert; the columns after it keep whatever `out` held before. With
    // `all_values` false, only column 17 of the real columns gets its value (the others are
    // checked, not converted).
    int scan(std::string_view line, Fields &out, int max_columns = kColumns,
             bool all_values = true) {
        size_t nul = line.find('\0');
        if (nul != std::string_view::npos) line = line.substr(0, nul);
        const char *p = line.data();
        end_ = p + line.size();
        int done = 0;
        for (; done < max_columns && done < kColumns; ++done) {
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
                    if (!all_values) {  // only whether it converts matters
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
                    if (!scan_real(p, all_values || done == kCol17 ? &out.real[done] : nullptr))
                        return done;
                    break;
            }
        }
        return done;
    }

    // Columns 17 and 18 of `line`, read as scan() reads them. Returns false when one of the
    // first eighteen columns does not convert.
    bool deciding_columns(std::string_view line, double &col17, unsigned short &col18) {
        if (quick_columns(line, col17, col18)) return true;
        Fields f;
        if (scan(line, f, kCol18 + 1, false) <= kCol18) return false;
        col17 = f.real[kCol17];
        col18 = f.u16[kCol18];
        return true;
    }

   private:
    // The common case, fast: every numeric column among the first eighteen is a plain number
    // that fills its whole blank-separated token ([+-]digits, or a decimal real with optional
    // exponent). Then the tokens are the columns, and bit masks of the blanks and digits of
    // the line find and check them with few branches. Anything else (a number running into
    // text, hexadecimal, nan, inf, an exponent without digits, values out of range, fewer
    // than eighteen tokens, a NUL byte) returns false and is left to scan().
    bool quick_columns(std::string_view line, double &col17, unsigned short &col18) {
        const size_t words = line.size() / 64 + 1;
        if (blanks_.size() < words) {
            blanks_.resize(words);
            digits_.resize(words);
        }
        // Token starts (a non-blank after a blank) and ends (a blank after a non-blank), found
        // from the masks 64 bytes at a time, only as far as the eighteenth token; the i-th end
        // closes the i-th start.
        // Room for the tokens of one more word past the eighteenth: no bound checks inside.
        size_t starts[kCol18 + 1 + 32], ends[kCol18 + 1 + 32];
        int n_starts = 0, n_ends = 0;
        uint64_t carry = 1;  // the position before the line counts as blank
        for (size_t w = 0; w < words && n_ends <= kCol18; ++w) {
            if (!build_masks(line, w)) return false;
            uint64_t b = blanks_[w], before = (b << 1) | carry;
            carry = b >> 63;
            // At most 32 starts and 32 ends in 64 bytes.
            for (uint64_t st = ~b & before; st; st &= st - 1)
                starts[n_starts++] = w * 64 + size_t(__builtin_ctzll(st));
            for (uint64_t en = b & ~before; en; en &= en - 1)
                ends[n_ends++] = w * 64 + size_t(__builtin_ctzll(en));
        }
        if (n_starts <= kCol18) return false;  // fewer than eighteen tokens
        // The integer columns: an optional sign, then digits only, at least one.
        bool ok = true;
        for (int c : kIntColumns) {
            size_t s = starts[c], e = ends[c];
            size_t d = s + (line[s] == '+' || line[s] == '-');
            ok &= d < e && all_digits(d, e);
        }
        size_t s = starts[kCol18], e = ends[kCol18];
        size_t d = s + (line[s] == '+' || line[s] == '-');
        ok &= d < e && all_digits(d, e);
        if (!ok || e - d > 18) return false;  // more digits could overflow: scan() saturates
        unsigned long mag = 0;
        for (size_t i = d; i < e; ++i) mag = mag * 10 + unsigned(line[i] - '0');
        col18 = to_ushort(mag, line[s] == '-', false);
        // The real columns 13 and 17.
        const char *first13 = line.data() + starts[kCol13], *last13 = line.data() + ends[kCol13];
        const char *first = line.data() + starts[kCol17], *last = line.data() + ends[kCol17];
        if (!plain_decimal(first13, last13) || !plain_decimal(first, last)) return false;
        if (exact_decimal(first, last, col17)) return true;
        if (*first == '+') ++first;
        auto res = std::from_chars(first, last, col17);
        return res.ec == std::errc() && res.ptr == last;
    }

    // Converts a plain decimal token whose digits, read as an integer, stay below 2^53 and
    // whose power of ten lies within 10^-22..10^22: both are exact doubles, so the one
    // multiplication or division gives the correctly rounded value, as strtod does. Returns
    // false (converting nothing) for any other token.
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
        if (digits > 15) return false;  // below 10^15 < 2^53, and no overflow above
        if (p != e) {                   // the exponent
            ++p;
            bool eneg = *p == '-';
            p += *p == '-' || *p == '+';
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

    // [+-] then digits with at most one '.', at least one digit, then optionally e or E,
    // [+-] and at least one digit: exactly the whole token is taken and converted.
    static bool plain_decimal(const char *p, const char *e) {
        if (p != e && (*p == '+' || *p == '-')) ++p;
        size_t digits = 0;
        for (; p != e && is_digit(*p); ++p) ++digits;
        if (p != e && *p == '.')
            for (++p; p != e && is_digit(*p); ++p) ++digits;
        if (digits == 0) return false;
        if (p != e && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p != e && (*p == '+' || *p == '-')) ++p;
            const char *x = p;
            while (p != e && is_digit(*p)) ++p;
            if (p == x) return false;
        }
        return p == e;
    }

    // Fills word w of the masks: bit i of blanks_ is set when byte i of the line is white
    // space or lies at or past the end of the line (so the last token always has an end);
    // bit i of digits_ when byte i is a decimal digit. Returns false when the word holds a
    // NUL byte, where the scan routines would see the end of the line.
    bool build_masks(std::string_view line, size_t w) {
        const size_t n = line.size();
        const unsigned char *data = reinterpret_cast<const unsigned char *>(line.data());
        uint64_t blank = 0, digit = 0;
        unsigned nuls = 0;
        for (size_t i = w * 64; i < w * 64 + 64 && i < n; i += 16) {
            size_t len = std::min<size_t>(16, n - i);
            unsigned b, d, z;
            if (len == 16) {
                classify16(data + i, b, d, z);
            } else if (n >= 16) {
                // The last 16 bytes of the line, shifted down to start at i: nothing past the
                // line is read.
                classify16(data + n - 16, b, d, z);
                b >>= 16 - len;
                d >>= 16 - len;
                z >>= 16 - len;
            } else {
                unsigned char block[16] = {};
                std::memcpy(block, data + i, len);
                classify16(block, b, d, z);
                unsigned keep = (1u << len) - 1;
                b &= keep;
                d &= keep;
                z &= keep;
            }
            blank |= uint64_t(b) << (i % 64);
            digit |= uint64_t(d) << (i % 64);
            nuls |= z;
        }
        if (n < w * 64 + 64) blank |= ~0ull << (n % 64);  // past the end counts as blank
        blanks_[w] = blank;
        digits_[w] = digit;
        return nuls == 0;
    }

    // Bit k of `blank`, `digit`, `nul` tells whether byte k of the 16 at p is white space, a
    // decimal digit, a NUL byte.
    static void classify16(const unsigned char *p, unsigned &blank, unsigned &digit,
                           unsigned &nul) {
#if defined(__SSE2__)
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i sp = _mm_cmpeq_epi8(x, _mm_set1_epi8(' '));
        __m128i t = _mm_sub_epi8(x, _mm_set1_epi8('\t'));  // \t..\r become 0..4
        __m128i ctl = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(4)), t);
        blank = unsigned(_mm_movemask_epi8(_mm_or_si128(sp, ctl)));
        __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
        digit = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d)));
        nul = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128())));
#else
        blank = digit = nul = 0;
        for (int k = 0; k < 16; ++k) {
            blank |= unsigned(is_space(char(p[k]))) << k;
            digit |= unsigned(is_digit(char(p[k]))) << k;
            nul |= unsigned(p[k] == 0) << k;
        }
#endif
    }

    // True when every byte in [s, e) is a digit.
    bool all_digits(size_t s, size_t e) const {
        if (s / 64 == (e - 1) / 64) {  // the usual case: within one word
            uint64_t need = ((~0ull >> (64 - (e - s))) << (s % 64));
            return (digits_[s / 64] & need) == need;
        }
        while (s < e) {
            size_t off = s % 64, len = std::min<size_t>(64 - off, e - s);
            uint64_t need = (len == 64 ? ~0ull : (1ull << len) - 1) << off;
            if ((digits_[s / 64] & need) != need) return false;
            s += len;
        }
        return true;
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
        if (value) {
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

    const char *end_ = nullptr;
    std::string scratch_;
    std::vector<uint64_t> blanks_, digits_;  // the masks of quick_columns(), reused
};

// The thresholds of a run: column 18 must be below `below18` (compared as unsigned 16-bit
// values) and column 17 at least `min17`.
struct Thresholds {
    unsigned short below18 = 0;
    double min17 = 0.0;
};

// The integer threshold: strtol rules, then the low 16 bits as an unsigned value.
inline unsigned short parse_int_threshold(const char *arg) {
    return static_cast<unsigned short>(std::strtol(arg, nullptr, 10));
}

// The real threshold: strtod rules.
inline double parse_real_threshold(const char *arg) {
    return std::strtod(arg, nullptr);
}

// True when a data line goes to the first output. A line whose column 17 or 18 did not
// convert goes to the second.
inline bool passes(LineScanner &scanner, std::string_view line, const Thresholds &t) {
    double col17;
    unsigned short col18;
    if (!scanner.deciding_columns(line, col17, col18)) return false;
    if (t.min17 > col17) return false;  // false when either is a NaN
    return col18 < t.below18;
}

}  // namespace junction_gate
