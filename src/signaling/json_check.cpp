// A validating pass over JSON text that builds nothing. It accepts exactly the texts the JSON library's
// parser accepts with its defaults (no comments, strict UTF-8, one value, a leading byte order mark allowed,
// numbers that overflow to infinity refused), at a fraction of the cost of building a document.
#include "signaling/json_check.hpp"

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace murva {

namespace {

class Checker {
public:
    explicit Checker(std::string_view text)
        : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}

    bool run() {
        if (end_ - p_ >= 1 && *p_ == 0xEF) {
            if (end_ - p_ < 3 || p_[1] != 0xBB || p_[2] != 0xBF)
                return false;
            p_ += 3;
        }
        // Iterative, so nesting depth costs heap, not stack. Each entry: true = inside an object.
        std::vector<bool> stack;
        for (;;) {
            skipSpace();
            // A value.
            if (p_ == end_)
                return false;
            const unsigned char c = *p_;
            if (c == '{' || c == '[') {
                ++p_;
                skipSpace();
                const bool object = c == '{';
                if (p_ != end_ && *p_ == (object ? '}' : ']')) {
                    ++p_;
                } else {
                    stack.push_back(object);
                    if (object && !memberName())
                        return false;
                    continue;
                }
            } else if (c == '"') {
                if (!string())
                    return false;
            } else if (c == 't') {
                if (!literal("true"))
                    return false;
            } else if (c == 'f') {
                if (!literal("false"))
                    return false;
            } else if (c == 'n') {
                if (!literal("null"))
                    return false;
            } else if (c == '-' || (c >= '0' && c <= '9')) {
                if (!number())
                    return false;
            } else {
                return false;
            }
            // After a value: close containers, or go on with the next element.
            for (;;) {
                skipSpace();
                if (stack.empty())
                    return p_ == end_ || *p_ == '\0'; // the parser, too, takes a NUL here for the end
                if (p_ == end_)
                    return false;
                const bool object = stack.back();
                if (*p_ == ',') {
                    ++p_;
                    if (object) {
                        skipSpace();
                        if (!memberName())
                            return false;
                    }
                    break;
                }
                if (*p_ != (object ? '}' : ']'))
                    return false;
                ++p_;
                stack.pop_back();
            }
        }
    }

private:
    void skipSpace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
            ++p_;
    }

    // `"name"` then `:`, leaving the cursor at the member's value.
    bool memberName() {
        if (p_ == end_ || *p_ != '"' || !string())
            return false;
        skipSpace();
        if (p_ == end_ || *p_ != ':')
            return false;
        ++p_;
        return true;
    }

    bool literal(const char* word) {
        for (; *word; ++word, ++p_)
            if (p_ == end_ || *p_ != static_cast<unsigned char>(*word))
                return false;
        return true;
    }

    bool inRange(unsigned char lo, unsigned char hi) {
        if (p_ == end_ || *p_ < lo || *p_ > hi)
            return false;
        ++p_;
        return true;
    }

    int hex4() {
        int value = 0;
        for (int i = 0; i < 4; ++i, ++p_) {
            if (p_ == end_)
                return -1;
            const unsigned char c = *p_;
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return -1;
            value = value * 16 + digit;
        }
        return value;
    }

    bool string() {
        ++p_; // the opening quote
        for (;;) {
            if (p_ == end_)
                return false;
            const unsigned char c = *p_++;
            if (c == '"')
                return true;
            if (c < 0x20)
                return false; // control characters must be escaped
            if (c < 0x80) {
                if (c != '\\')
                    continue;
                if (p_ == end_)
                    return false;
                const unsigned char e = *p_++;
                if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't')
                    continue;
                if (e != 'u')
                    return false;
                const int unit = hex4();
                if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
                    return false;
                if (unit >= 0xD800 && unit <= 0xDBFF) { // a high surrogate needs its low half
                    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                        return false;
                    p_ += 2;
                    const int low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF)
                        return false;
                }
                continue;
            }
            // UTF-8 sequences, as RFC 3629 allows them.
            bool ok;
            if (c >= 0xC2 && c <= 0xDF)
                ok = inRange(0x80, 0xBF);
            else if (c == 0xE0)
                ok = inRange(0xA0, 0xBF) && inRange(0x80, 0xBF);
            else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
                ok = inRange(0x80, 0xBF) && inRange(0x80, 0xBF);
            else if (c == 0xED)
                ok = inRange(0x80, 0x9F) && inRange(0x80, 0xBF);
            else if (c == 0xF0)
                ok = inRange(0x90, 0xBF) && inRange(0x80, 0xBF) && inRange(0x80, 0xBF);
            else if (c >= 0xF1 && c <= 0xF3)
                ok = inRange(0x80, 0xBF) && inRange(0x80, 0xBF) && inRange(0x80, 0xBF);
            else if (c == 0xF4)
                ok = inRange(0x80, 0x8F) && inRange(0x80, 0xBF) && inRange(0x80, 0xBF);
            else
                ok = false;
            if (!ok)
                return false;
        }
    }

    bool digits() {
        if (p_ == end_ || *p_ < '0' || *p_ > '9')
            return false;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9')
            ++p_;
        return true;
    }

    bool number() {
        const unsigned char* start = p_;
        if (*p_ == '-')
            ++p_;
        if (p_ == end_)
            return false;
        if (*p_ == '0')
            ++p_;
        else if (!digits())
            return false;
        bool wide = p_ - start > 18; // only such integers can leave the 64-bit range
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (!digits())
                return false;
            wide = true;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-'))
                ++p_;
            if (!digits())
                return false;
            wide = true;
        }
        if (!wide)
            return true;
        // The parser reads such a number as a double and refuses one that overflows to infinity.
        const std::string copy(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
        return std::isfinite(std::strtod(copy.c_str(), nullptr));
    }

    const unsigned char* p_;
    const unsigned char* end_;
};

} // namespace

bool isValidJson(std::string_view text) { return Checker(text).run(); }

} // namespace murva
