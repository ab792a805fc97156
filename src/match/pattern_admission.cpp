#include "pattern_admission.hpp"

#include <algorithm>
#include <string>

namespace velmira {
namespace {

// Nesting deeper than this is refused rather than recursed into: such patterns are not
// worth a fast path, and the scanner's stack stays small whatever the input.
constexpr int kMaxDepth = 64;
// PCRE2's largest repeat count; Boost has none, so larger bounds stay on Boost.
constexpr long kMaxRepeat = 65535;

// The classic "C" locale's classes, written out: the scanner must not depend on whatever
// locale the host process runs in, and bytes of 0x80 and above are in no class in either
// engine.
ByteSet range(unsigned char lo, unsigned char hi) {
    ByteSet s;
    s.addRange(lo, hi);
    return s;
}
ByteSet digit() { return range('0', '9'); }
ByteSet upper() { return range('A', 'Z'); }
ByteSet lower() { return range('a', 'z'); }
ByteSet alpha() { return upper() |= lower(); }
ByteSet alnum() { return alpha() |= digit(); }
ByteSet word() {
    ByteSet s = alnum();
    s.add('_');
    return s;
}
ByteSet space() {
    ByteSet s = range(0x09, 0x0D);
    s.add(' ');
    return s;
}
ByteSet punct() { return range(0x21, 0x2F) |= range(0x3A, 0x40) |= range(0x5B, 0x60) |= range(0x7B, 0x7E); }
ByteSet cntrl() {
    ByteSet s = range(0x00, 0x1F);
    s.add(0x7F);
    return s;
}
ByteSet xdigit() { return digit() |= range('A', 'F') |= range('a', 'f'); }

bool posixClass(std::string_view name, ByteSet& out) {
    // [:blank:] is left out on purpose: Boost counts VT as blank, PCRE2 does not.
    if (name == "alnum") out = alnum();
    else if (name == "alpha") out = alpha();
    else if (name == "cntrl") out = cntrl();
    else if (name == "digit") out = digit();
    else if (name == "graph") out = range(0x21, 0x7E);
    else if (name == "lower") out = lower();
    else if (name == "print") out = range(0x20, 0x7E);
    else if (name == "punct") out = punct();
    else if (name == "space") out = space();
    else if (name == "upper") out = upper();
    else if (name == "word") out = word();
    else if (name == "xdigit") out = xdigit();
    else return false;
    return true;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}
bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Punctuation that both engines take literally after a backslash. Boost gives \< \> \` \'
// meanings of their own, so those four are not here.
bool isEscapablePunct(char c) {
    static constexpr std::string_view kPunct = "!\"#%&,-./:;=@_~\\^$|?*+()[]{} ";
    return kPunct.find(c) != std::string_view::npos;
}

struct Refusal {
    std::string why;
    std::size_t offset;
};

// What the scanner knows of a parsed piece of pattern.
struct Node {
    ByteSet first;              // bytes its first consumed byte can be
    bool nullable = true;       // can match the empty text
    bool oneByte = false;       // a literal, class, escape class or dot: exactly one byte
    bool quantifiable = false;  // a quantifier may follow
    bool oneByteRepeat = false; // a one-byte atom, possibly with a greedy quantifier
    ByteSet any;                // bytes it can consume
    ByteSet must;               // bytes every match of it consumes
    std::size_t minLength = 0;  // bytes consumed, at least and at most
    std::size_t maxLength = 0;
};

constexpr std::size_t kUnbounded = PatternFacts::kUnbounded;

std::size_t addLengths(std::size_t a, std::size_t b) {
    return a > kUnbounded - b ? kUnbounded : a + b;
}
// A length repeated: saturates at kUnbounded, which a minimum may also reach; a minimum
// that large is still no larger than the true one.
std::size_t timesLength(std::size_t length, std::size_t times) {
    if (length == 0 || times == 0) return 0;
    if (length == kUnbounded || times == kUnbounded || length > kUnbounded / times) return kUnbounded;
    return length * times;
}

Node oneByteNode(const ByteSet& set) {
    Node n;
    n.first = set;
    n.nullable = false;
    n.oneByte = true;
    n.quantifiable = true;
    n.oneByteRepeat = true;
    n.any = set;
    if (set.count() == 1) n.must = set;
    n.minLength = 1;
    n.maxLength = 1;
    return n;
}

Node zeroWidthNode() { return Node{}; }

class Scanner {
public:
    explicit Scanner(std::string_view pattern) : p_(pattern) {}

    Admission run() {
        Admission result;
        try {
            if (p_.empty()) refuse("the empty pattern");
            const Node whole = alternation(0);
            if (pos_ != p_.size()) refuse("unmatched ')'");
            result.admitted = true;
            result.firstBytes = whole.first;
            result.facts.first = whole.first;
            result.facts.any = whole.any;
            result.facts.must = whole.must;
            result.facts.minLength = whole.minLength;
            result.facts.maxLength = whole.maxLength;
        } catch (const Refusal& r) {
            result.reason = r.why + " at offset " + std::to_string(r.offset);
        }
        return result;
    }

private:
    [[noreturn]] void refuse(const std::string& why) { throw Refusal{why, pos_}; }
    [[noreturn]] void refuseAt(const std::string& why, std::size_t at) { throw Refusal{why, at}; }

    bool atEnd() const { return pos_ >= p_.size(); }
    char peek(std::size_t ahead = 0) const { return pos_ + ahead < p_.size() ? p_[pos_ + ahead] : '\0'; }
    bool has(std::size_t ahead) const { return pos_ + ahead < p_.size(); }
    char take() { return p_[pos_++]; }

    Node alternation(int depth) {
        if (depth > kMaxDepth) refuse("nesting deeper than " + std::to_string(kMaxDepth));
        Node result = concat(depth);
        while (!atEnd() && peek() == '|') {
            ++pos_;
            const Node branch = concat(depth);
            result.first |= branch.first;
            result.nullable = result.nullable || branch.nullable;
            result.any |= branch.any;
            result.must &= branch.must;
            result.minLength = std::min(result.minLength, branch.minLength);
            result.maxLength = std::max(result.maxLength, branch.maxLength);
            result.oneByte = false;
            result.oneByteRepeat = false;
        }
        return result;
    }

    Node concat(int depth) {
        if (atEnd() || peek() == '|' || peek() == ')') refuse("an empty alternative or group");
        Node result;
        result.nullable = true;
        std::size_t pieces = 0;
        Node only;
        while (!atEnd() && peek() != '|' && peek() != ')') {
            const Node next = piece(depth);
            if (result.nullable) result.first |= next.first;
            result.nullable = result.nullable && next.nullable;
            result.any |= next.any;
            result.must |= next.must;
            result.minLength = addLengths(result.minLength, next.minLength);
            result.maxLength = addLengths(result.maxLength, next.maxLength);
            only = next;
            ++pieces;
        }
        result.oneByte = pieces == 1 && only.oneByte;
        result.oneByteRepeat = pieces == 1 && only.oneByteRepeat;
        return result;
    }

    Node piece(int depth) {
        Node atom = this->atom(depth);
        if (atEnd()) return atom;
        const char q = peek();
        if (q != '*' && q != '+' && q != '?' && q != '{') return atom;
        if (!atom.quantifiable) refuse("a quantifier after an assertion, lookahead or flag");
        long min = 0;
        long max = -1;  // none
        const std::size_t quantifierAt = pos_;
        ++pos_;
        if (q == '+') min = 1;
        if (q == '?') max = 1;
        if (q == '{') min = bounds(max);
        bool greedy = true;
        if (!atEnd() && peek() == '?') {
            ++pos_;
            greedy = false;
        } else if (!atEnd() && peek() == '+') {
            if (!atom.oneByte) refuseAt("a possessive quantifier on more than one byte", quantifierAt);
            ++pos_;
        }
        if (!atEnd() && (peek() == '*' || peek() == '+' || peek() == '?' || peek() == '{')) {
            refuse("two quantifiers in a row");
        }
        Node result;
        result.first = atom.first;
        result.nullable = atom.nullable || min == 0;
        result.oneByteRepeat = atom.oneByte && greedy;
        if (max != 0) result.any = atom.any;
        if (min > 0) result.must = atom.must;
        result.minLength = timesLength(atom.minLength, static_cast<std::size_t>(min));
        result.maxLength = max < 0 ? (atom.maxLength == 0 ? 0 : kUnbounded)
                                   : timesLength(atom.maxLength, static_cast<std::size_t>(max));
        return result;
    }

    // {n}, {n,} or {n,m} with plain decimal digits, after the '{'. Returns n; `upper` becomes
    // m, n for {n}, or -1 for {n,}.
    long bounds(long& upper) {
        const std::size_t open = pos_ - 1;
        auto number = [&](long& out) {
            const std::size_t from = pos_;
            out = 0;
            while (!atEnd() && peek() >= '0' && peek() <= '9') {
                out = out * 10 + (take() - '0');
                if (out > kMaxRepeat) refuseAt("a repeat count above " + std::to_string(kMaxRepeat), open);
            }
            return pos_ > from;
        };
        long min = 0, max = 0;
        if (!number(min)) refuseAt("'{' that is not a plain {n}, {n,} or {n,m} (write \\{ for the byte)", open);
        if (!atEnd() && peek() == '}') {
            ++pos_;
            upper = min;
            return min;
        }
        if (atEnd() || peek() != ',') refuseAt("'{' that is not a plain {n}, {n,} or {n,m}", open);
        ++pos_;
        if (!atEnd() && peek() == '}') {
            ++pos_;
            upper = -1;
            return min;
        }
        if (!number(max) || atEnd() || peek() != '}') refuseAt("'{' that is not a plain {n}, {n,} or {n,m}", open);
        ++pos_;
        if (max < min) refuseAt("a repeat {n,m} with m below n", open);
        upper = max;
        return min;
    }

    Node atom(int depth) {
        const char c = take();
        switch (c) {
            case '(':
                return group(depth);
            case '[':
                return bracket();
            case '.':
                return oneByteNode(ByteSet::all());
            case '^':
            case '$':
                return zeroWidthNode();
            case '\\':
                return escape();
            case '*':
            case '+':
            case '?':
                refuseAt("a quantifier with nothing to repeat", pos_ - 1);
            case '{':
            case '}':
            case ']':
                refuseAt(std::string("an unescaped '") + c + "'", pos_ - 1);
            case '\0':
                refuseAt("a NUL byte", pos_ - 1);
            default: {
                ByteSet s;
                s.add(static_cast<unsigned char>(c));
                return oneByteNode(s);
            }
        }
    }

    Node group(int depth) {
        const std::size_t open = pos_ - 1;
        Node inner;
        if (!atEnd() && peek() == '?') {
            ++pos_;
            const char kind = atEnd() ? '\0' : take();
            if (kind == ':') {
                inner = alternation(depth + 1);
            } else if (kind == '>') {
                inner = alternation(depth + 1);
                if (!inner.oneByteRepeat) refuseAt("an atomic group around more than one repeated byte", open);
            } else if (kind == '=' || kind == '!') {
                alternation(depth + 1);
                close(open);
                return zeroWidthNode();
            } else if (kind == 's' || kind == 'm' || kind == '-') {
                --pos_;
                if (flags(open)) {
                    return zeroWidthNode();  // (?s) and the like: no group follows
                }
                inner = alternation(depth + 1);
            } else {
                refuseAt(std::string("the group '(?") + (kind ? std::string(1, kind) : "") +
                             "' (of the (? groups only (?: (?> (?= (?! and the s and m flags are)",
                         open);
            }
        } else if (!atEnd() && peek() == '*') {
            refuseAt("a (*VERB)", open);
        } else {
            inner = alternation(depth + 1);
        }
        close(open);
        Node result = inner;
        result.oneByte = false;
        result.oneByteRepeat = false;
        result.quantifiable = true;
        return result;
    }

    // After "(?": letters s and m, optionally '-' and more of them, then ')' (a flag item,
    // returns true) or ':' (a scoped group follows, returns false).
    bool flags(std::size_t open) {
        bool any = false, negated = false, anyAfterMinus = false;
        while (!atEnd()) {
            const char c = take();
            if (c == 's' || c == 'm') {
                any = true;
                if (negated) anyAfterMinus = true;
            } else if (c == '-' && !negated) {
                negated = true;
            } else if ((c == ')' || c == ':') && any && (!negated || anyAfterMinus)) {
                return c == ')';
            } else {
                refuseAt("inline flags other than s and m", open);
            }
        }
        refuseAt("an unterminated group", open);
    }

    void close(std::size_t open) {
        if (atEnd() || peek() != ')') refuseAt("an unterminated group", open);
        ++pos_;
    }

    // After a backslash outside a class.
    Node escape() {
        const std::size_t at = pos_ - 1;
        if (atEnd()) refuseAt("a trailing backslash", at);
        const char c = peek();
        switch (c) {
            case 'b':
            case 'A':
            case 'z':
            case 'Z':
                ++pos_;
                return zeroWidthNode();
            default:
                break;
        }
        ByteSet set;
        if (!escapeSet(set, at)) refuseAt(std::string("the escape \\") + c, at);
        return oneByteNode(set);
    }

    // The escapes that mean one byte or a class alike inside and outside brackets. Consumes
    // them and returns true; returns false, consuming nothing, for any other escape.
    bool escapeSet(ByteSet& set, std::size_t at) {
        unsigned char byte = 0;
        if (escapeByte(byte, at)) {
            set = ByteSet();
            set.add(byte);
            return true;
        }
        const char c = peek();
        switch (c) {
            case 'd': set = digit(); break;
            case 'D': set = digit().complement(); break;
            case 'w': set = word(); break;
            case 'W': set = word().complement(); break;
            case 's': set = space(); break;
            case 'S': set = space().complement(); break;
            default: return false;
        }
        ++pos_;
        return true;
    }

    // An escape for one byte, after the backslash: punctuation, \a \e \f \n \r \t, \xHH with
    // exactly two hex digits, \c and an ASCII letter.
    bool escapeByte(unsigned char& byte, std::size_t at) {
        const char c = peek();
        if (isEscapablePunct(c)) {
            byte = static_cast<unsigned char>(c);
            ++pos_;
            return true;
        }
        switch (c) {
            case 'a': byte = 0x07; break;
            case 'e': byte = 0x1B; break;
            case 'f': byte = 0x0C; break;
            case 'n': byte = 0x0A; break;
            case 'r': byte = 0x0D; break;
            case 't': byte = 0x09; break;
            case 'x':
                if (!has(2) || !isHex(peek(1)) || !isHex(peek(2))) refuseAt("\\x without exactly two hex digits", at);
                byte = static_cast<unsigned char>(hexValue(peek(1)) * 16 + hexValue(peek(2)));
                pos_ += 3;
                return true;
            case 'c':
                if (!has(1) || !isAsciiLetter(peek(1))) refuseAt("\\c without an ASCII letter", at);
                // Both engines agree here: Boost takes the letter modulo 32, PCRE2 upper-cases
                // it and flips bit 6.
                byte = static_cast<unsigned char>(static_cast<unsigned char>(peek(1)) % 32);
                pos_ += 2;
                return true;
            default:
                return false;
        }
        ++pos_;
        return true;
    }

    // After '['.
    Node bracket() {
        const std::size_t open = pos_ - 1;
        bool negated = false;
        if (!atEnd() && peek() == '^') {
            ++pos_;
            negated = true;
        }
        ByteSet set;
        std::size_t members = 0;
        for (;;) {
            if (atEnd()) refuseAt("an unterminated class", open);
            const char c = peek();
            if (c == ']' && members > 0) {
                ++pos_;
                break;
            }
            if (c == '[') {
                if (peek(1) != ':') refuseAt("'[' inside a class (write \\[)", pos_);
                set |= posixMember();
                ++members;
                continue;
            }
            if (c == '-') {
                const bool last = peek(1) == ']';
                if (members != 0 && !last) refuseAt("'-' inside a class other than first or last", pos_);
                ++pos_;
                set.add('-');
                ++members;
                if (!atEnd() && peek() == '-' && peek(1) != ']') refuseAt("a range that starts at '-'", pos_);
                continue;
            }
            const std::size_t memberAt = pos_;
            unsigned char lo = 0;
            ByteSet escaped;
            bool single = true;
            if (c == '\\') {
                ++pos_;
                if (atEnd()) refuseAt("a trailing backslash", memberAt);
                if (peek() == 'b') {  // backspace inside a class, in both engines
                    ++pos_;
                    lo = 0x08;
                } else if (escapeByte(lo, memberAt)) {
                } else if (escapeSet(escaped, memberAt)) {
                    single = false;
                } else {
                    refuseAt(std::string("the escape \\") + peek() + " inside a class", memberAt);
                }
            } else if (c == '\0') {
                refuseAt("a NUL byte", memberAt);
            } else {
                ++pos_;
                lo = static_cast<unsigned char>(c);
            }
            ++members;
            if (!single) {
                set |= escaped;
                if (!atEnd() && peek() == '-' && peek(1) != ']') refuseAt("a range from a class escape", pos_);
                continue;
            }
            if (!atEnd() && peek() == '-' && has(1) && peek(1) != ']') {
                ++pos_;
                unsigned char hi = 0;
                const std::size_t hiAt = pos_;
                const char h = peek();
                if (h == '\\') {
                    ++pos_;
                    if (atEnd() || !escapeByte(hi, hiAt)) refuseAt("a range that ends in a class or unknown escape", hiAt);
                } else if (h == '[' || h == '-' || h == '\0') {
                    refuseAt("a range that ends in '[', '-' or NUL", hiAt);
                } else {
                    ++pos_;
                    hi = static_cast<unsigned char>(h);
                }
                if (hi < lo) refuseAt("a range whose end is below its start", memberAt);
                set.addRange(lo, hi);
                continue;
            }
            set.add(lo);
        }
        return oneByteNode(negated ? set.complement() : set);
    }

    // "[:name:]" or "[:^name:]" at pos_, for the shared POSIX names.
    ByteSet posixMember() {
        const std::size_t at = pos_;
        pos_ += 2;
        bool negated = false;
        if (!atEnd() && peek() == '^') {
            ++pos_;
            negated = true;
        }
        const std::size_t nameAt = pos_;
        while (!atEnd() && peek() >= 'a' && peek() <= 'z') ++pos_;
        const std::string_view name = p_.substr(nameAt, pos_ - nameAt);
        if (!has(1) || peek() != ':' || peek(1) != ']') refuseAt("a POSIX class that is not [:name:]", at);
        pos_ += 2;
        ByteSet set;
        if (!posixClass(name, set)) refuseAt("the POSIX class [:" + std::string(name) + ":]", at);
        return negated ? set.complement() : set;
    }

    std::string_view p_;
    std::size_t pos_ = 0;
};

}  // namespace

Admission admitPattern(std::string_view pattern) { return Scanner(pattern).run(); }

PatternFacts& PatternFacts::operator|=(const PatternFacts& other) {
    first |= other.first;
    any |= other.any;
    must &= other.must;
    minLength = std::min(minLength, other.minLength);
    maxLength = std::max(maxLength, other.maxLength);
    return *this;
}

bool PatternFacts::admits(std::size_t length, unsigned char firstByte, const ByteSet& present) const {
    if (length < minLength || length > maxLength) return false;
    if (length > 0 && !first.has(firstByte)) return false;
    return present.subsetOf(any) && must.subsetOf(present);
}

}  // namespace velmira
