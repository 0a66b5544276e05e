#include "io/lp_reader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/errors.hpp"
#include "base/huge_pages.hpp"
#include "base/name_table.hpp"
#include "base/numeric.hpp"
#include "base/utf8.hpp"
#include "format/number_parse.hpp"
#include "io/byte_sources.hpp"

namespace ondrel::io {

namespace {

// ---------------------------------------------------------------------------------------------
// Bytes. Names hold letters, digits and the symbols !"#$%&()/,.;?@_`'{}|~ and start with a
// letter or a symbol other than the period; numbers start with a digit or a period.

enum : unsigned char {
    kOther = 0,  // anything not listed: refused where a token starts
    kBlank,      // ASCII white space but the line feed
    kNewline,
    kName,       // may start a name
    kDigit,      // may start a number, continues a name
    kDot,        // the same
    kPlus,
    kMinus,
    kColon,
    kLess,
    kGreater,
    kEqual,
    kBackslash,
    kHigh,       // 0x80 and above: Unicode white space, or refused
    kQuadratic,  // '[' and '^'
};

struct ByteClasses {
    unsigned char c[256];
    constexpr ByteClasses() : c{} {
        for (int b = 'a'; b <= 'z'; ++b) c[b] = kName;
        for (int b = 'A'; b <= 'Z'; ++b) c[b] = kName;
        for (const char s : std::string_view("!\"#$%&()/,;?@_`'{}|~")) c[static_cast<unsigned char>(s)] = kName;
        for (int b = '0'; b <= '9'; ++b) c[b] = kDigit;
        c[static_cast<unsigned char>('.')] = kDot;
        for (const char s : std::string_view(" \t\r\v\f")) c[static_cast<unsigned char>(s)] = kBlank;
        c[static_cast<unsigned char>('\n')] = kNewline;
        c[static_cast<unsigned char>('+')] = kPlus;
        c[static_cast<unsigned char>('-')] = kMinus;
        c[static_cast<unsigned char>(':')] = kColon;
        c[static_cast<unsigned char>('<')] = kLess;
        c[static_cast<unsigned char>('>')] = kGreater;
        c[static_cast<unsigned char>('=')] = kEqual;
        c[static_cast<unsigned char>('\\')] = kBackslash;
        c[static_cast<unsigned char>('[')] = kQuadratic;
        c[static_cast<unsigned char>('^')] = kQuadratic;
        for (int b = 0x80; b <= 0xFF; ++b) c[b] = kHigh;
    }
};
inline constexpr ByteClasses kClasses;

inline unsigned char class_of(const char* p) noexcept { return kClasses.c[static_cast<unsigned char>(*p)]; }
inline bool continues_name(unsigned char cls) noexcept { return cls >= kName && cls <= kDot; }
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// ASCII case-insensitive equality with a lower-case word.
bool same_word(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != lower[i]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Section keywords, recognised as the first token of a line (and not followed by ':', which
// makes the word a label). The words of two-word keywords are confirmed by the next token.

enum class Word : std::uint8_t { None, Minimize, Maximize, Subject, Such, St, Bounds, Generals, Binaries, Semi, Sos, End, Lazy, User };

struct Keyword {
    std::string_view text;
    Word word;
};
constexpr Keyword kKeywords[] = {
    {"minimize", Word::Minimize}, {"minimum", Word::Minimize},  {"minimise", Word::Minimize},
    {"min", Word::Minimize},      {"maximize", Word::Maximize}, {"maximum", Word::Maximize},
    {"maximise", Word::Maximize}, {"max", Word::Maximize},      {"subject", Word::Subject},
    {"such", Word::Such},         {"st", Word::St},             {"s.t.", Word::St},
    {"st.", Word::St},            {"bounds", Word::Bounds},     {"bound", Word::Bounds},
    {"general", Word::Generals},  {"generals", Word::Generals}, {"gen", Word::Generals},
    {"integer", Word::Generals},  {"integers", Word::Generals}, {"binary", Word::Binaries},
    {"binaries", Word::Binaries}, {"bin", Word::Binaries},      {"semi", Word::Semi},
    {"semis", Word::Semi},        {"sos", Word::Sos},           {"end", Word::End},
    {"lazy", Word::Lazy},         {"user", Word::User},
};

Word keyword_of(std::string_view text) noexcept {
    if (text.size() < 2 || text.size() > 8) return Word::None;
    // Every keyword starts with one of these letters.
    const unsigned letter = static_cast<unsigned>((text[0] | 0x20) - 'a');
    constexpr std::uint32_t kFirst = 1u << ('m' - 'a') | 1u << ('b' - 'a') | 1u << ('s' - 'a') | 1u << ('g' - 'a') |
                                     1u << ('i' - 'a') | 1u << ('l' - 'a') | 1u << ('u' - 'a') | 1u << ('e' - 'a');
    if (letter >= 26 || (kFirst >> letter & 1u) == 0) return Word::None;
    for (const Keyword& k : kKeywords) {
        if (same_word(text, k.text)) return k.word;
    }
    return Word::None;
}

// ---------------------------------------------------------------------------------------------
// Failures: "line L, column C: <detail>", out of line.

struct Where {
    std::size_t line = 0;
    std::size_t column = 0;
};

[[noreturn, gnu::cold, gnu::noinline]] void fail(Where w, std::string_view a, std::string_view b = {},
                                                 std::string_view c = {}, std::string_view d = {},
                                                 std::string_view e = {}) {
    raise_runtime(Msg() << "line " << w.line << ", column " << w.column << ": " << a << b << c << d << e);
}

// ---------------------------------------------------------------------------------------------
// Tokens.

enum class Kind : std::uint8_t { End, Name, Number, Plus, Minus, Colon, Sense };

struct Token {
    Kind kind = Kind::End;
    Word word = Word::None;  // a Name that is the first token of its line and a keyword
    Sense sense = Sense::LessEqual;
    bool first = false;      // the first token of its line
    std::string_view text;   // valid until two more refills of the input
    double number = 0.0;
    Where at;
};

// How a token is named in a message.
std::string shown(const Token& t) {
    if (t.kind == Kind::End) return "the end of the file";
    return Msg() << "'" << t.text << "'";
}

// ---------------------------------------------------------------------------------------------
// The input: the stream read in pieces of whole lines into one of two buffers, in turn, so that
// the text of the tokens of the previous piece stays valid while the next piece is read. Every
// piece ends with a line feed (one is added after a last line without it), so the scans inside
// a line need no bounds checks. Each piece is checked for UTF-8 before it is read.

class Input {
public:
    Input(ByteSource& source, std::size_t piece, InterruptCheck interrupt)
        : source_(source), piece_(std::max<std::size_t>(piece, 16)), interrupt_(interrupt) {}

    // The next piece of whole lines as [begin, end), after `lines_before` lines; false at the
    // end of the stream.
    bool next(const char*& begin, const char*& end, std::size_t lines_before) {
        if (bad_line_ != 0) raise_runtime(Msg() << "line " << bad_line_ << " is not UTF-8 text");
        if (done_) return false;
        Buffer& old = buffers_[current_];
        Buffer& buf = buffers_[1 - current_];
        const std::size_t rest = old.have - old.complete;
        buf.reserve(std::max(piece_, rest + piece_ / 2) + 1);
        if (rest != 0) std::memcpy(buf.data.get(), old.data.get() + old.complete, rest);
        buf.have = rest;
        old.have = old.complete = 0;
        current_ = 1 - current_;
        std::size_t scanned = 0;  // bytes of buf known to hold no line feed
        for (;;) {
            if (buf.have + 1 >= buf.capacity) {
                if (buf.have > kMaxLine) {
                    raise_runtime(Msg() << "line " << lines_before + 1 << " is longer than " << (kMaxLine >> 20)
                                        << " MiB: this is not an LP file");
                }
                buf.reserve(buf.capacity * 2);
            }
            const std::size_t n = source_.read(buf.data.get() + buf.have, buf.capacity - 1 - buf.have);
            check_interrupt(interrupt_);
            if (n == 0) {
                done_ = true;
                if (buf.have == 0) return false;
                buf.data[buf.have++] = '\n';  // room was kept for it
                buf.complete = buf.have;
                break;
            }
            buf.have += n;
            const void* nl = memrchr(buf.data.get() + scanned, '\n', buf.have - scanned);
            scanned = buf.have;
            if (nl != nullptr) {
                buf.complete = static_cast<std::size_t>(static_cast<const char*>(nl) - buf.data.get()) + 1;
                break;
            }
        }
        // A line that is not UTF-8 fails the read when the parser comes to it: the lines before
        // it are handed out first, so that a failure on one of them comes first, however the
        // input is cut into pieces.
        const std::string_view lines(buf.data.get(), buf.complete);
        if (!is_valid_utf8(lines)) {
            std::size_t line = lines_before + 1;
            std::size_t at = 0;
            for (; at < lines.size(); ++line) {
                const std::size_t stop = std::min(lines.find('\n', at), lines.size());
                if (!is_valid_utf8(lines.substr(at, stop - at))) break;
                at = stop + 1;
            }
            bad_line_ = line;
            if (at == 0) raise_runtime(Msg() << "line " << line << " is not UTF-8 text");
            buf.complete = at;
        }
        begin = buf.data.get();
        end = begin + buf.complete;
        return true;
    }

private:
    struct Buffer {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t have = 0;      // bytes held
        std::size_t complete = 0;  // the whole lines among them
        void reserve(std::size_t n) {
            if (n <= capacity) return;
            std::unique_ptr<char[]> grown(new char[n]);
            if (have != 0) std::memcpy(grown.get(), data.get(), have);
            data = std::move(grown);
            capacity = n;
        }
    };
    ByteSource& source_;
    std::size_t piece_;
    InterruptCheck interrupt_;
    Buffer buffers_[2];
    int current_ = 0;
    bool done_ = false;
    std::size_t bad_line_ = 0;  // the line found not to be UTF-8, where the read stops
};

// ---------------------------------------------------------------------------------------------
// The parser.

// Where a constraint begins, for messages about it once the whole file is read: its line and
// column in one word (a column is at most 2^20 + 1, a line never near 2^43).
class RowStart {
public:
    explicit RowStart(Where at) noexcept
        : bits_(std::min<std::uint64_t>(at.line, kMaxLine) << kColumnBits |
                std::min<std::uint64_t>(at.column, (std::uint64_t{1} << kColumnBits) - 1)) {}
    Where where() const noexcept { return Where{line(), bits_ & ((std::uint64_t{1} << kColumnBits) - 1)}; }
    std::size_t line() const noexcept { return bits_ >> kColumnBits; }

private:
    static constexpr unsigned kColumnBits = 21;
    static constexpr std::uint64_t kMaxLine = (std::uint64_t{1} << (64 - kColumnBits)) - 1;
    std::uint64_t bits_;
};

// The terms of a constraint read into the arena are a slice lent to its record, which may be
// changed in place.
Term* terms_of(ConstraintRecord& c) noexcept { return const_cast<Term*>(c.terms.begin()); }

// A constraint with two senses: its activity between lo and hi. With the ranges option its
// last term is kept for the range variable.
struct RangedRow {
    std::size_t row;
    double lo;
    double hi;
};

// One side of a constraint, or the objective: the sum of its numbers, whether it has terms,
// and the first number that is not finite.
struct Side {
    double constant = 0.0;
    bool any = false;  // a term or a number
    bool terms = false;
    bool bad = false;
    Where bad_at;
    std::string bad_text;
};

constexpr VarId kRangeSlot = ~VarId{0};  // a term kept for a range variable

// The LP writer writes a constraint without terms as "name: 1 V <sense> rhs", after a row
// "_dummy: 1 V = 0" that fixes V at 0: such a row names V as that stand-in.
constexpr std::string_view kPlaceholderRow = "_dummy";

class LpParser {
public:
    LpParser(Input& input, const LpLoadOptions& options) : input_(input), options_(options) {}

    void parse();
    // Checks what only the whole file tells (repeated constraint names, sums of repeated
    // terms), makes the range variables and sums repeated terms; then fill moves everything
    // into the store, which cannot fail.
    void finish(LpLoadFacts& facts);
    void fill(ModelCore& core, const std::shared_ptr<SharedModel>& self);

    std::string problem_name;
    std::size_t lines() const noexcept { return line_; }

private:
    // --- the lexer
    void lex(Token& t);
    [[gnu::always_inline]] bool skip_to_token();
    [[gnu::always_inline]] void lex_name(Token& t, const char* start);
    [[gnu::always_inline]] void lex_sense(Token& t, const char* start, unsigned char cls);
    [[gnu::noinline]] void lex_number(Token& t, const char* start);
    [[gnu::noinline]] void skip_block_comment();
    [[gnu::noinline]] bool refill();
    void next() {
        if (has_ahead_) {
            tok_ = ahead_;
            has_ahead_ = false;
        } else {
            lex(tok_);
        }
    }
    const Token& peek() {
        if (!has_ahead_) {
            lex(ahead_);
            has_ahead_ = true;
        }
        return ahead_;
    }
    Where here() const noexcept {
        return Where{line_, static_cast<std::size_t>(p_ - line_start_) + 1 - continuation_};
    }
    void header();
    std::string section_keyword();
    void unsupported_section(std::string_view keyword);

    // --- sections
    bool at_section();
    void objective_section();
    void constraint_section();
    void constraint();
    struct Label {
        bool labelled = false;
        bool placeholder = false;  // "_dummy", the writer's row of the variable of empty constraints
        std::size_t variables_before = 0;
    };
    Label constraint_label(ConstraintRecord& c);
    void right_hand_terms(ConstraintRecord& c, const Side& left, const Token& first_sense);
    void ranged_constraint(ConstraintRecord& c, const Side& left, const Side& middle, const Token& first_sense);
    void bounds_section();
    VarId listed_variable(unsigned listing);
    void bound();
    void names_section(bool binary);
    void sos_section();
    Side expression();
    void term(double coeff);
    double number_side(Where& first);
    double signed_number(std::string_view after);
    void unknown_section_check();
    // The current token is a name that begins its line and is followed by ':': the label of
    // the next statement, not a term.
    bool label_ahead() { return tok_.first && peek().kind == Kind::Colon; }
    // Whether the current token names a variable: a name that is no keyword where it stands,
    // or "lazy" or "user" first on a line without the word that makes them a section's
    // keyword (a writer that wraps a long line may put such a variable first).
    bool plain_name() {
        if (tok_.kind != Kind::Name) return false;
        if (tok_.word == Word::None) return true;
        return (tok_.word == Word::Lazy || tok_.word == Word::User) && !at_section();
    }

    // --- variables
    VarId variable(std::string_view name);
    VarId add_variable(NameTable::Lookup l);
    void flush();
    void grow_terms();
    std::vector<std::uint32_t> order_variables();
    void renumber(const std::vector<std::uint32_t>& order);
    void make_records(const std::vector<std::uint32_t>& order);
    void make_range_variables(LpLoadFacts& facts);
    void check_constraint_names() const;
    void sum_repeated_terms(LpLoadFacts& facts);

    Input& input_;
    const LpLoadOptions& options_;

    const char* p_ = nullptr;
    const char* end_ = nullptr;
    const char* line_start_ = nullptr;
    std::size_t line_ = 0;          // the line p_ is on
    std::size_t continuation_ = 0;  // UTF-8 continuation bytes before p_ on its line
    bool first_ = true;             // the next token is the first of its line
    bool eof_ = false;
    Token tok_;
    std::string saved_;  // the text of tok_ once its piece has gone
    Token ahead_;
    bool has_ahead_ = false;

    // Variables in order of first appearance, their names kept in the arena for the table;
    // the model's records are made from them once their order is known.
    struct ParsedVariable {
        std::string_view name;
        double lb = 0.0;
        double ub = kInf;
        Category category = Category::Continuous;
    };
    HugeVector<ParsedVariable> variables_;
    NameArena names_;
    NameTable index_;
    RecordVector<VariableRecord> records_;

    // Lookups of constraint terms, queued so that their table slots are fetched ahead; each
    // fills the id of its term.
    struct Pending {
        NameTable::Lookup lookup;
        Term* slot;
    };
    static constexpr std::size_t kQueue = 32;
    Pending queue_[kQueue];
    std::size_t queued_ = 0;

    // Constraint terms, written into the arena as they are read: a constraint's terms lie
    // together; a block that fills up moves the constraint being read to the next block.
    TermArena arena_;
    Term* cursor_ = nullptr;
    Term* block_end_ = nullptr;
    Term* row_begin_ = nullptr;
    Term* block_start_ = nullptr;
    TermArena::Mark block_mark_{};  // the arena before the current block was taken
    std::size_t block_terms_ = 4096;
    std::size_t terms_taken_ = 0;  // room of the blocks taken so far

    RecordVector<ConstraintRecord> rows_;
    HugeVector<RowStart> starts_;
    std::vector<RangedRow> ranged_;
    std::uint64_t automatic_ = 0;
    // The stand-in variable of empty constraints, and whether a section other than the
    // constraints names it (then it stays a variable, and its row a constraint).
    std::optional<VarId> placeholder_;
    // The variables the Bounds, Generals and Binaries sections name, in the order they name them.
    std::vector<std::uint32_t> listed_[3];
    Where placeholder_at_;
    bool placeholder_named_ = false;
    void drop_placeholder();

    // The objective's terms, in the arena before the constraints'.
    Term* objective_begin_ = nullptr;
    std::size_t objective_count_ = 0;
    double objective_constant_ = 0.0;
    Where objective_at_;
    std::optional<std::string> objective_name_;
    ObjSense sense_ = ObjSense::Minimize;
    bool has_objective_ = false;
    bool has_constraints_ = false;
    std::vector<SosGroup> sos_;
    std::vector<std::string> sections_;

public:
    const std::vector<std::string>& sections() const noexcept { return sections_; }
};

// ---------------------------------------------------------------------------------------------
// The lexer.

bool LpParser::refill() {
    flush();  // queued lookups view the piece that is about to be replaced
    // A lookahead may pass over lines enough for two refills: the current token keeps its
    // text in a string of its own.
    if (tok_.text.data() != saved_.data()) {
        saved_.assign(tok_.text);
        tok_.text = saved_;
    }
    const char* begin;
    const char* end;
    if (eof_ || !input_.next(begin, end, line_ - 1)) {
        eof_ = true;
        return false;
    }
    p_ = begin;
    end_ = end;
    line_start_ = begin;
    return true;
}

// The first line "\* NAME *\" names the model, as does "\Problem name: NAME".
void LpParser::header() {
    line_ = 1;
    if (!refill()) return;
    const char* nl = static_cast<const char*>(std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_)));
    std::string_view first(p_, static_cast<std::size_t>(nl - p_));
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    if (first.size() >= 6 && first.starts_with("\\* ") && first.ends_with(" *\\")) {
        problem_name.assign(first.substr(3, first.size() - 6));
    } else if (first.starts_with("\\Problem name:")) {
        problem_name.assign(trim_white_space(first.substr(14)));
    } else {
        return;
    }
    p_ = nl + 1;
    ++line_;
    line_start_ = p_;
    if (p_ == end_) refill();
}

void LpParser::skip_block_comment() {
    const Where open = here();
    p_ += 2;
    for (;;) {
        const char c = *p_;
        if (c == '\n') {
            ++p_;
            ++line_;
            line_start_ = p_;
            continuation_ = 0;
            first_ = true;
            if (p_ == end_ && !refill()) fail(open, "the comment '\\*' is not closed before the end of the file");
        } else if (c == '*' && p_[1] == '\\') {
            p_ += 2;
            return;
        } else {
            continuation_ += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
            ++p_;
        }
    }
}

// The digits of a number as the lexer passes over them: value = mantissa x 10^exponent while
// there are at most 19 digits.
struct NumberScan {
    const char* end = nullptr;
    bool digits = false;
    bool exponent = false;  // an exponent was read
    std::size_t count = 0;  // digits, leading zeros included
    std::uint64_t mantissa = 0;
    std::int64_t e10 = 0;
};

inline const char* scan_digits(const char* q, NumberScan& n) noexcept {
    const char* const from = q;
    while (is_digit(*q)) {
        n.mantissa = n.mantissa * 10 + static_cast<unsigned>(*q - '0');
        ++q;
    }
    n.count += static_cast<std::size_t>(q - from);
    n.digits = n.digits || q != from;
    return q;
}

NumberScan scan_number(const char* start) noexcept {
    NumberScan n;
    const char* q = scan_digits(start, n);
    if (*q == '.') {
        const std::size_t before = n.count;
        q = scan_digits(q + 1, n);
        n.e10 = -static_cast<std::int64_t>(n.count - before);
    }
    if (n.digits && (*q == 'e' || *q == 'E')) {
        const char* r = q + 1;
        const bool negative = *r == '-';
        if (*r == '+' || *r == '-') ++r;
        if (is_digit(*r)) {
            std::int64_t e = 0;
            for (; is_digit(*r); ++r) e = std::min<std::int64_t>(e * 10 + (*r - '0'), 100000);
            n.e10 += negative ? -e : e;
            q = r;
            n.exponent = true;
        }
    }
    n.end = q;
    return n;
}

// A number that is none, or runs into a name that could be read as its exponent.
[[noreturn, gnu::cold]] void refuse_number(Where at, const char* start, const NumberScan& n) {
    const char* const q = n.end;
    const char* r = q;
    while (continues_name(class_of(r)) || ((*r == '+' || *r == '-') && (r[-1] == 'e' || r[-1] == 'E'))) ++r;
    const std::string_view text(start, static_cast<std::size_t>(r - start));
    if (n.digits && continues_name(class_of(q)) && class_of(q) == kName) {
        fail(at, "'", text, "' is not a number: put a blank between a coefficient and a variable whose name "
                            "could be read as its exponent");
    }
    fail(at, "'", text, "' is not a number");
}

void LpParser::lex_number(Token& t, const char* start) {
    const NumberScan n = scan_number(start);
    const char* const q = n.end;
    // A name may follow a number directly ("3x") where it cannot be read as part of it.
    if (!n.digits || (continues_name(class_of(q)) && (n.exponent || *q == 'e' || *q == 'E' || class_of(q) != kName))) {
        refuse_number(t.at, start, n);
    }
    t.kind = Kind::Number;
    t.text = std::string_view(start, static_cast<std::size_t>(q - start));
    // An exact integer mantissa below 2^53 times an exact power of ten (at most 10^22) is one
    // correctly rounded multiplication or division; other numbers take the library's
    // conversion.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (n.count <= 19 && n.mantissa == 0) {
        t.number = 0.0;
    } else if (n.count <= 19 && n.mantissa < (std::uint64_t{1} << 53) && n.e10 >= -22 && n.e10 <= 22) {
        const double m = static_cast<double>(n.mantissa);
        t.number = n.e10 < 0 ? m / kPow10[-n.e10] : m * kPow10[n.e10];
    } else {
        const auto r = std::from_chars(start, q, t.number);
        if ((r.ec != std::errc() || r.ptr != q) && !parse_mps_number(t.text, t.number)) {
            fail(t.at, "'", t.text, "' is not a number");
        }
    }
    p_ = q;
}

// Passes over blanks, line ends and comments up to the next token; false at the end of the
// input.
bool LpParser::skip_to_token() {
    for (;;) {
        while (class_of(p_) == kBlank) ++p_;
        const unsigned char cls = class_of(p_);
        if (cls == kNewline) {
            ++p_;
            ++line_;
            line_start_ = p_;
            continuation_ = 0;
            first_ = true;
            if (p_ == end_ && !refill()) return false;
            continue;
        }
        if (cls == kBackslash) {
            if (p_[1] == '*') {
                skip_block_comment();
            } else {
                p_ = static_cast<const char*>(std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_)));
            }
            continue;
        }
        if (cls == kHigh) {
            const std::size_t w = white_space_length(reinterpret_cast<const unsigned char*>(p_),
                                                     reinterpret_cast<const unsigned char*>(end_));
            if (w != 0) {
                p_ += w;
                continuation_ += w - 1;
                continue;
            }
        }
        return true;
    }
}

void LpParser::lex(Token& t) {
    if (p_ == end_ || !skip_to_token()) {  // p_ == end_ only at the end of the input
        t = Token{};
        t.at = here();
        return;
    }
    const char* const start = p_;
    const unsigned char cls = class_of(start);
    t.at = here();
    t.first = first_;
    first_ = false;
    t.word = Word::None;
    switch (cls) {
        case kName: lex_name(t, start); return;
        case kDigit:
        case kDot: lex_number(t, start); return;
        case kPlus:
        case kMinus:
        case kColon:
            if (cls == kMinus && start[1] == '>') fail(t.at, "indicator constraints are not supported ('->')");
            t.kind = cls == kPlus ? Kind::Plus : cls == kMinus ? Kind::Minus : Kind::Colon;
            t.text = std::string_view(start, 1);
            p_ = start + 1;
            return;
        case kLess:
        case kGreater:
        case kEqual: lex_sense(t, start, cls); return;
        case kQuadratic: fail(t.at, "quadratic terms are not supported ('", std::string_view(start, 1), "')");
        default: {
            std::size_t n = 1;
            while ((static_cast<unsigned char>(start[n]) & 0xC0) == 0x80) ++n;
            fail(t.at, "unexpected character '", std::string_view(start, n), "'");
        }
    }
}

// A name, or inf and infinity in any letter case (numbers), or a keyword first on its line.
void LpParser::lex_name(Token& t, const char* start) {
    const char* q = start + 1;
    while (continues_name(class_of(q))) ++q;
    t.kind = Kind::Name;
    t.text = std::string_view(start, static_cast<std::size_t>(q - start));
    p_ = q;
    if ((t.text.size() == 3 && same_word(t.text, "inf")) || (t.text.size() == 8 && same_word(t.text, "infinity"))) {
        t.kind = Kind::Number;
        t.number = kInf;
    } else if (t.first) {
        t.word = keyword_of(t.text);
    }
}

// <, <=, =<, >, >=, =>, =.
void LpParser::lex_sense(Token& t, const char* start, unsigned char cls) {
    std::size_t n = 1;
    if (cls == kEqual) {
        t.sense = start[1] == '<' ? Sense::LessEqual : start[1] == '>' ? Sense::GreaterEqual : Sense::Equal;
        n += t.sense != Sense::Equal;
    } else {
        t.sense = cls == kLess ? Sense::LessEqual : Sense::GreaterEqual;
        n += start[1] == '=';
    }
    t.kind = Kind::Sense;
    t.text = std::string_view(start, n);
    p_ = start + n;
}

// ---------------------------------------------------------------------------------------------
// Variables and the queue of term lookups.

VarId LpParser::add_variable(NameTable::Lookup l) {
    if (index_.full()) raise_runtime("the file names more variables than a model can hold");
    l.name = names_.keep(l.name);
    index_.insert(l);
    variables_.push_back(ParsedVariable{l.name});
    return variables_.size() - 1;
}

// A section keyword names no variable: written at the start of a line it would start a
// section. ("lazy" and "user" start one only with the word after them.)
void check_variable_name(const Token& t) {
    const Word w = t.word != Word::None ? t.word : keyword_of(t.text);
    if (w != Word::None && w != Word::Lazy && w != Word::User) {
        fail(t.at, "'", t.text, "' is a word LP files reserve and cannot name a variable");
    }
}

VarId LpParser::variable(std::string_view name) {
    const NameTable::Lookup l = NameTable::prepare(name);
    const NameTable::Id id = index_.find(l);
    return id != NameTable::kAbsent ? VarId{id} : add_variable(l);
}

void LpParser::flush() {
    for (std::size_t i = 0; i < queued_; ++i) {
        const Pending& q = queue_[i];
        const NameTable::Id id = index_.find(q.lookup);
        q.slot->id = id != NameTable::kAbsent ? VarId{id} : add_variable(q.lookup);
    }
    queued_ = 0;
}

// The block is full: the constraint being read moves to a new one, twice as large up to 2 MiB
// (or larger for a longer constraint). A block that held only that constraint goes, so that
// a long constraint or objective leaves no copies of itself behind.
void LpParser::grow_terms() {
    flush();  // the queue points into the block
    const std::size_t partial = static_cast<std::size_t>(cursor_ - row_begin_);
    const std::size_t size = std::max(block_terms_, 2 * partial + 16);
    terms_taken_ += size;
    // Blocks of a whole 2 MiB page come once the terms fill a few: a page is resident whole
    // from its first term, which for a small file would be mostly empty room.
    constexpr std::size_t kPageTerms = kHugePage / sizeof(Term);
    block_terms_ = std::min<std::size_t>(block_terms_ * 2, terms_taken_ >= 4 * kPageTerms ? kPageTerms : kPageTerms / 2);
    Term* block;
    if (partial != 0 && row_begin_ == block_start_) {
        const HugeVector<Term> moving(row_begin_, cursor_);  // its own mapping, given back whole
        arena_.rewind(block_mark_);
        block_mark_ = arena_.mark();
        block = arena_.take(size);
        std::memcpy(static_cast<void*>(block), moving.data(), partial * sizeof(Term));
    } else {
        if (row_begin_ != nullptr) arena_.keep(row_begin_);
        block_mark_ = arena_.mark();
        block = arena_.take(size);
        if (partial != 0) std::memcpy(static_cast<void*>(block), row_begin_, partial * sizeof(Term));
    }
    block_start_ = block;
    row_begin_ = block;
    cursor_ = block + partial;
    block_end_ = block + size;
}

void LpParser::term(double coeff) {
    check_variable_name(tok_);
    if (cursor_ == block_end_) grow_terms();
    cursor_->coeff = coeff;
    Pending& q = queue_[queued_++];
    q.lookup = NameTable::prepare(tok_.text);
    q.slot = cursor_++;
    index_.prefetch(q.lookup);
    if (queued_ == kQueue) flush();
}

// ---------------------------------------------------------------------------------------------
// Sections.

// Whether the current token starts a section (or is the end of the file).
bool LpParser::at_section() {
    if (tok_.kind == Kind::End) return true;
    if (tok_.kind != Kind::Name || tok_.word == Word::None) return false;
    const auto followed_by = [&](std::string_view second) {
        const Token& next = peek();
        return next.kind == Kind::Name && next.at.line == tok_.at.line && same_word(next.text, second);
    };
    switch (tok_.word) {
        case Word::Subject: return followed_by("to");
        case Word::Such: return followed_by("that");
        case Word::Lazy: return followed_by("constraints");
        case Word::User: return followed_by("cuts");
        default: return peek().kind != Kind::Colon;
    }
}

// A word alone on its line where a statement starts, followed by something no statement
// continues with, is taken for the keyword of a section this reader does not know.
void LpParser::unknown_section_check() {
    if (!tok_.first || tok_.kind != Kind::Name) return;
    const Token& next = peek();
    if (next.kind == Kind::End || (next.at.line > tok_.at.line && next.kind == Kind::Name)) {
        fail(tok_.at, "unknown section ", shown(tok_));
    }
}

Side LpParser::expression() {
    Side s;
    bool first = true;
    for (;;) {
        double sign = 1.0;
        bool signed_term = false;
        while (tok_.kind == Kind::Plus || tok_.kind == Kind::Minus) {
            if (tok_.kind == Kind::Minus) sign = -sign;
            signed_term = true;
            next();
        }
        if (!signed_term && !first) return s;
        s.any = s.any || tok_.kind == Kind::Number || plain_name();
        if (tok_.kind == Kind::Number) {
            const double v = tok_.number;
            const Where at = tok_.at;
            std::string text;  // kept for a message only
            if (!std::isfinite(v)) text.assign(tok_.text);
            next();
            if (plain_name() && !label_ahead()) {
                if (!std::isfinite(v)) fail(at, "'", text, "' is not a finite number");
                term(sign * v);
                s.terms = true;
                next();
            } else {
                s.constant += sign * v;
                if (!std::isfinite(v) && !s.bad) {
                    s.bad = true;
                    s.bad_at = at;
                    s.bad_text = std::move(text);
                }
            }
        } else if (plain_name() && !label_ahead()) {
            term(sign);
            s.terms = true;
            next();
        } else {
            if (signed_term) fail(tok_.at, "expected a number or a variable after the sign, found ", shown(tok_));
            return s;
        }
        first = false;
    }
}

void LpParser::objective_section() {
    if (has_objective_ || has_constraints_) fail(tok_.at, "the objective section ", shown(tok_), " is not the file's first section");
    has_objective_ = true;
    objective_at_ = tok_.at;
    sense_ = tok_.word == Word::Maximize ? ObjSense::Maximize : ObjSense::Minimize;
    next();
    if (tok_.kind == Kind::Name && tok_.word == Word::None && peek().kind == Kind::Colon) {
        objective_name_.emplace(tok_.text);
        next();
        next();
    }
    row_begin_ = cursor_;
    const Side s = expression();
    if (s.bad || !std::isfinite(s.constant)) {
        fail(s.bad_at, "the objective's constant ", s.bad_text, " is not a finite number");
    }
    objective_begin_ = row_begin_;
    objective_count_ = static_cast<std::size_t>(cursor_ - row_begin_);
    if (objective_count_ > 0xFFFFFFFFu) fail(objective_at_, "the objective has more terms than an objective can hold");
    row_begin_ = cursor_;
    if (!at_section()) {
        unknown_section_check();
        fail(tok_.at, "unexpected ", shown(tok_), " in the objective");
    }
    objective_constant_ = s.constant;
}

void LpParser::constraint_section() {
    if (has_constraints_) fail(tok_.at, "a second constraint section ", shown(tok_));
    has_constraints_ = true;
    if (tok_.word == Word::Subject || tok_.word == Word::Such) next();
    next();
    while (!at_section()) constraint();
    flush();
}

// The right-hand side: one number, signed or not.
double LpParser::number_side(Where& first) {
    first = tok_.at;
    double sign = 1.0;
    while (tok_.kind == Kind::Plus || tok_.kind == Kind::Minus) {
        if (tok_.kind == Kind::Minus) sign = -sign;
        next();
    }
    if (tok_.kind != Kind::Number) fail(tok_.at, "expected a number on the right-hand side, found ", shown(tok_));
    const double v = sign * tok_.number;
    next();
    return v;
}

// The label of a constraint: its name, or for the writer's row "_dummy" the mark that the row
// may name the stand-in variable of empty constraints.
LpParser::Label LpParser::constraint_label(ConstraintRecord& c) {
    Label label;
    if (tok_.kind == Kind::Number && peek().kind == Kind::Colon) {
        fail(tok_.at, "'", tok_.text, "' cannot name a constraint: names begin with a letter or one of "
                                      "!\"#$%&()/,;?@_`'{}|~");
    }
    if (tok_.kind == Kind::Name && peek().kind == Kind::Colon) {
        label.labelled = true;
        if (tok_.text.front() != '_') {
            c.name.assign(tok_.text);
        } else if (tok_.text == kPlaceholderRow && !placeholder_) {
            label.placeholder = true;
            flush();
            label.variables_before = variables_.size();
        }
        next();
        next();
    }
    if (c.name.empty() && !label.placeholder) c.name = Msg() << "_C" << ++automatic_;
    return label;
}

void LpParser::constraint() {
    unknown_section_check();
    const Where start = tok_.at;
    ConstraintRecord& c = rows_.emplace_back();
    const Label label = constraint_label(c);
    row_begin_ = cursor_;
    const Side left = expression();
    // A labelled constraint may have nothing before its sense ("c: <= 4", a constraint without
    // terms); an unlabelled one must start with a term or a number.
    if (!left.any && !(label.labelled && tok_.kind == Kind::Sense)) {
        fail(tok_.at, "expected a term of constraint '", c.name, "', found ", shown(tok_));
    }
    if (tok_.kind != Kind::Sense) {
        fail(tok_.at, "expected <=, >= or = in constraint '", c.name, "', found ", shown(tok_));
    }
    const Token first_sense = tok_;
    next();
    if (left.terms) {
        if (left.bad) fail(left.bad_at, "'", left.bad_text, "' is not a finite number");
        Where at;
        const double r = number_side(at);
        if (!std::isfinite(r)) fail(at, "the right-hand side of constraint '", c.name, "' is not a finite number");
        c.sense = first_sense.sense;
        c.rhs = r - left.constant;
    } else {
        right_hand_terms(c, left, first_sense);
    }
    if (!std::isfinite(c.rhs)) fail(first_sense.at, "the right-hand side of constraint '", c.name, "' is not a finite number");
    c.rhs += 0.0;
    const auto count = static_cast<std::size_t>(cursor_ - row_begin_);
    if (label.placeholder) {
        flush();
        if (count == 1 && c.sense == Sense::Equal && c.rhs == 0.0 && row_begin_->coeff == 1.0 &&
            row_begin_->id >= label.variables_before) {
            // "_dummy: 1 V = 0" with V new: V stands in for the terms of empty constraints.
            placeholder_ = row_begin_->id;
            placeholder_at_ = start;
            rows_.pop_back();
            cursor_ = row_begin_;
            return;
        }
        c.name = Msg() << "_C" << ++automatic_;
    }
    if (count > 0xFFFFFFFFu) fail(start, "constraint '", c.name, "' has more terms than a constraint can hold");
    c.terms = TermMap::lent(row_begin_, count);
    starts_.push_back(RowStart(start));
    row_begin_ = cursor_;
}

// A constraint whose terms follow its first sense: "3 >= x + y", or with the ranges option
// "lo <= x + y <= hi" (or with two >=).
void LpParser::right_hand_terms(ConstraintRecord& c, const Side& left, const Token& first_sense) {
    const Side middle = expression();
    if (middle.bad) fail(middle.bad_at, "'", middle.bad_text, "' is not a finite number");
    if (tok_.kind == Kind::Sense) {
        ranged_constraint(c, left, middle, first_sense);
        return;
    }
    if (left.bad) fail(left.bad_at, "'", left.bad_text, "' is not a finite number");
    c.sense = first_sense.sense;
    if (middle.terms) {
        // A number on the left and the terms on the right: the same with the sides swapped.
        c.sense = c.sense == Sense::LessEqual ? Sense::GreaterEqual : c.sense == Sense::GreaterEqual ? Sense::LessEqual : c.sense;
        c.rhs = left.constant - middle.constant;
    } else {
        c.rhs = middle.constant - left.constant;
    }
}

// lo <= expr <= hi, or hi >= expr >= lo: an E row whose last term is kept for the range
// variable made once the file is read.
void LpParser::ranged_constraint(ConstraintRecord& c, const Side& left, const Side& middle, const Token& first_sense) {
    const Token second = tok_;
    next();
    Where at;
    const double other = number_side(at);
    if (first_sense.sense == Sense::Equal || second.sense != first_sense.sense) {
        fail(second.at, "constraint '", c.name, "' has two senses that do not bound it from both sides");
    }
    if (!options_.ranges) {
        fail(second.at, "constraint '", c.name, "' has a range, which is read only with the ranges option");
    }
    const bool less = first_sense.sense == Sense::LessEqual;
    const double lo = (less ? left.constant : other) - middle.constant;
    const double hi = (less ? other : left.constant) - middle.constant;
    if (std::isnan(lo) || std::isnan(hi)) fail(second.at, "constraint '", c.name, "' has a range that is not a number");
    ranged_.push_back(RangedRow{rows_.size() - 1, lo, hi});
    if (cursor_ == block_end_) grow_terms();
    *cursor_++ = Term{kRangeSlot, -1.0};
    c.sense = Sense::Equal;
    c.rhs = 0.0;
}

double LpParser::signed_number(std::string_view after) {
    double sign = 1.0;
    while (tok_.kind == Kind::Plus || tok_.kind == Kind::Minus) {
        if (tok_.kind == Kind::Minus) sign = -sign;
        next();
    }
    if (tok_.kind != Kind::Number) fail(tok_.at, "expected a number after ", after, ", found ", shown(tok_));
    const double v = sign * tok_.number;
    next();
    return v;
}

// The variable the current token names in the Bounds (listing 0), Generals (1) or Binaries (2)
// section, noted in that section's listing.
VarId LpParser::listed_variable(unsigned listing) {
    check_variable_name(tok_);
    const VarId id = variable(tok_.text);
    placeholder_named_ = placeholder_named_ || id == placeholder_;
    listed_[listing].push_back(static_cast<std::uint32_t>(id));
    return id;
}

void LpParser::bounds_section() {
    next();
    while (!at_section()) bound();
}

void LpParser::bound() {
    const auto apply = [](ParsedVariable& v, Sense sense, double value) {
        if (sense != Sense::GreaterEqual) v.ub = value;
        if (sense != Sense::LessEqual) v.lb = value;
    };
    const auto flipped = [](Sense s) {
        return s == Sense::LessEqual ? Sense::GreaterEqual : s == Sense::GreaterEqual ? Sense::LessEqual : s;
    };
    if (tok_.kind == Kind::Name) {
        unknown_section_check();
        const VarId id = listed_variable(0);
        const std::string name(tok_.text);
        next();
        if (tok_.kind == Kind::Name && same_word(tok_.text, "free")) {
            variables_[id].lb = -kInf;
            variables_[id].ub = kInf;
            next();
            return;
        }
        if (tok_.kind != Kind::Sense) fail(tok_.at, "expected <=, >=, = or free after '", name, "', found ", shown(tok_));
        const Sense sense = tok_.sense;
        next();
        apply(variables_[id], sense, signed_number(std::string(Msg() << "'" << name << "'")));
        return;
    }
    if (tok_.kind != Kind::Number && tok_.kind != Kind::Plus && tok_.kind != Kind::Minus) {
        fail(tok_.at, "expected a bound, found ", shown(tok_));
    }
    const double value = signed_number("the sign");
    if (tok_.kind != Kind::Sense) fail(tok_.at, "expected <=, >= or = after the number, found ", shown(tok_));
    const Sense sense = tok_.sense;
    next();
    if (tok_.kind != Kind::Name || tok_.word != Word::None) {
        fail(tok_.at, "expected a variable after ", sense_symbol(sense), ", found ", shown(tok_));
    }
    const VarId id = listed_variable(0);
    const std::string name(tok_.text);
    next();
    apply(variables_[id], flipped(sense), value);
    if (tok_.kind == Kind::Sense) {
        const Sense second = tok_.sense;
        next();
        apply(variables_[id], second, signed_number(std::string(Msg() << "'" << name << "'")));
    }
}

void LpParser::names_section(bool binary) {
    const std::string section(tok_.text);
    next();
    while (!at_section()) {
        if (!plain_name()) {
            fail(tok_.at, "expected a variable in section '", section, "', found ", shown(tok_));
        }
        const VarId id = listed_variable(binary ? 2 : 1);
        ParsedVariable& v = variables_[id];
        v.category = Category::Integer;
        if (binary) {
            v.lb = 0.0;
            v.ub = 1.0;
        }
        next();
    }
}

// Groups: "[label:] S1:: name:weight name:weight ..." (or S2), over any number of lines.
void LpParser::sos_section() {
    next();
    SosGroup* group = nullptr;
    while (!at_section()) {
        if (tok_.kind != Kind::Name) fail(tok_.at, "expected an SOS group or member, found ", shown(tok_));
        if (group == nullptr) unknown_section_check();
        const Token first = tok_;
        std::string name(tok_.text);
        next();
        if (tok_.kind != Kind::Colon) fail(tok_.at, "expected ':' after '", name, "', found ", shown(tok_));
        next();
        std::optional<std::string> label;
        Token kind = first;
        if (tok_.kind == Kind::Name) {
            // "label: S1::"
            label = std::move(name);
            kind = tok_;
            name.assign(tok_.text);
            next();
            if (tok_.kind != Kind::Colon) fail(tok_.at, "expected '::' after '", name, "', found ", shown(tok_));
            next();
            if (tok_.kind != Kind::Colon) fail(tok_.at, "expected '::' after '", name, "', found ", shown(tok_));
        }
        if (tok_.kind == Kind::Colon) {
            // "S1::": a new group.
            SosKind k;
            if (same_word(name, "s1")) {
                k = SosKind::Sos1;
            } else if (same_word(name, "s2")) {
                k = SosKind::Sos2;
            } else {
                fail(kind.at, "unknown SOS type '", name, "' (S1 or S2)");
            }
            next();
            group = &sos_.emplace_back();
            group->kind = k;
            group->key = std::move(label);
            continue;
        }
        if (group == nullptr) fail(first.at, "SOS member '", name, "' comes before its group's S1:: or S2::");
        Token member = first;
        member.text = name;  // the piece `first` was read from may be gone by now
        check_variable_name(member);
        const VarId id = variable(name);
        placeholder_named_ = placeholder_named_ || id == placeholder_;
        group->members.push_back(SosMember{id, signed_number(std::string(Msg() << "'" << name << ":'"))});
    }
}

// The keyword of the section at hand, both words of a two-word one, after the checks that
// apply to any section.
std::string LpParser::section_keyword() {
    const bool started = has_objective_ || has_constraints_;
    if (tok_.kind == Kind::End) {
        if (!started) fail(tok_.at, "the file has no objective or constraint section: this is not an LP file");
        fail(tok_.at, "the file ends without an End line");
    }
    if (!at_section()) {
        // Only the file's first token can get here: every section reads up to the next one.
        fail(tok_.at, shown(tok_), " comes before the objective or constraint section (an LP file begins with "
                                   "Minimize, Maximize or Subject To)");
    }
    const Word w = tok_.word;
    std::string keyword(tok_.text);
    if (w == Word::Subject || w == Word::Such || w == Word::Lazy || w == Word::User) {
        keyword += ' ';
        keyword += peek().text;
    }
    const bool opens = w == Word::Minimize || w == Word::Maximize || w == Word::Subject || w == Word::Such ||
                       w == Word::St || w == Word::End;
    if (!started && !opens) fail(tok_.at, "section '", keyword, "' comes before the objective or constraint section");
    if (w == Word::End && !started) {
        fail(tok_.at, "the file has no objective or constraint section: this is not an LP file");
    }
    return keyword;
}

// Semi-continuous, lazy constraint and user cut sections are refused when they hold anything:
// some writers put an empty one in every file.
void LpParser::unsupported_section(std::string_view keyword) {
    const Token section = tok_;
    if (tok_.word == Word::Lazy || tok_.word == Word::User) next();
    next();
    if (!at_section()) {
        fail(section.at, section.word == Word::Semi ? "semi-continuous" : section.word == Word::Lazy ? "lazy constraint" : "user cut",
             " sections are not supported ('", keyword, "')");
    }
}

void LpParser::parse() {
    header();
    next();
    for (;;) {
        std::string keyword = section_keyword();
        const Word w = tok_.word;
        if (w == Word::Semi || w == Word::Lazy || w == Word::User) {
            unsupported_section(keyword);
            sections_.push_back(std::move(keyword));
            continue;
        }
        sections_.push_back(std::move(keyword));
        flush();
        switch (w) {
            case Word::End: return;
            case Word::Minimize:
            case Word::Maximize: objective_section(); break;
            case Word::Subject:
            case Word::Such:
            case Word::St: constraint_section(); break;
            case Word::Bounds: bounds_section(); break;
            case Word::Generals: names_section(false); break;
            case Word::Binaries: names_section(true); break;
            case Word::Sos: sos_section(); break;
            default: fail(tok_.at, "unknown section ", shown(tok_));
        }
    }
}

// The stand-in of empty constraints goes: its terms, and the variable, the later ids moving
// down by one. Named anywhere but in constraints, it stays a variable, and its row comes
// back, last, as a constraint with an automatic name.
void LpParser::drop_placeholder() {
    const VarId d = *placeholder_;
    for (const Term& t : std::span(objective_begin_, objective_count_)) placeholder_named_ = placeholder_named_ || t.id == d;
    if (placeholder_named_) {
        ConstraintRecord& c = rows_.emplace_back();
        c.name = Msg() << "_C" << ++automatic_;
        c.sense = Sense::Equal;
        row_begin_ = cursor_;
        if (cursor_ == block_end_) grow_terms();
        *cursor_++ = Term{d, 1.0};
        c.terms = TermMap::lent(row_begin_, 1);
        starts_.push_back(RowStart(placeholder_at_));
        row_begin_ = cursor_;
        return;
    }
    const auto moved = [d](VarId id) { return id > d && id != kRangeSlot ? id - 1 : id; };
    for (ConstraintRecord& c : rows_) {
        Term* const begin = terms_of(c);
        std::size_t kept = 0;
        for (std::size_t k = 0; k < c.terms.size(); ++k) {
            const Term t = begin[k];
            if (t.id != d) begin[kept++] = Term{moved(t.id), t.coeff};
        }
        c.terms = TermMap::lent(begin, kept);
    }
    for (Term& t : std::span(objective_begin_, objective_count_)) t.id = moved(t.id);
    for (SosGroup& g : sos_) {
        for (SosMember& m : g.members) m.id = moved(m.id);
    }
    for (std::vector<std::uint32_t>& list : listed_) {
        for (std::uint32_t& id : list) id = static_cast<std::uint32_t>(moved(id));
    }
    variables_.erase(variables_.begin() + static_cast<std::ptrdiff_t>(d));
}

// Variables take the order the file first names them in, unless the Bounds, Generals or
// Binaries section lists them in another: the LP writer lists those in variable order, so
// following the listings gives back the written model's order, and writing the model read
// gives the file's own bytes. Of the orders every listing agrees with, the one taken is
// closest to first appearance: at each step the smallest id free to come next comes next.
// Listings that contradict each other (only a hand-written file has them) leave the order of
// first appearance.
//
// Returns the order (the first appearance's id of each variable in turn), or nothing when that
// of first appearance stands.
std::vector<std::uint32_t> LpParser::order_variables() {
    const auto ascending = [](const std::vector<std::uint32_t>& list) {
        return std::adjacent_find(list.begin(), list.end(), std::greater_equal<std::uint32_t>()) == list.end();
    };
    if (ascending(listed_[0]) && ascending(listed_[1]) && ascending(listed_[2])) return {};

    // A variable's first place in each listing; bit c of listings[v] says listing c names v,
    // and waiting[v] counts the listings in which v is not yet at the head.
    const std::size_t n = variables_.size();
    std::vector<std::uint8_t> listings(n, 0);
    for (unsigned c = 0; c < 3; ++c) {
        std::vector<std::uint32_t>& list = listed_[c];
        const auto bit = static_cast<std::uint8_t>(1u << c);
        std::size_t kept = 0;
        for (const VarId id : list) {
            if ((listings[id] & bit) != 0) continue;
            listings[id] |= bit;
            list[kept++] = id;
        }
        list.resize(kept);
    }
    std::vector<std::uint8_t> waiting(n);
    for (std::size_t v = 0; v < n; ++v) waiting[v] = static_cast<std::uint8_t>(std::popcount(listings[v]));

    // Variables no listing names come in id order; a listed one is free once it heads each of
    // its listings (at most three are free at a time).
    std::size_t head[3] = {0, 0, 0};
    std::uint32_t ready[3];
    std::size_t ready_count = 0;
    const auto reach = [&](unsigned c) {
        if (head[c] < listed_[c].size() && --waiting[listed_[c][head[c]]] == 0) ready[ready_count++] = listed_[c][head[c]];
    };
    for (unsigned c = 0; c < 3; ++c) reach(c);
    std::vector<std::uint32_t> order(n);
    constexpr std::uint32_t kNone = ~std::uint32_t{0};
    std::size_t scan = 0;
    for (std::size_t placed = 0; placed < n; ++placed) {
        while (scan < n && listings[scan] != 0) ++scan;
        std::size_t pick = ready_count;  // ready_count: the next unlisted one
        std::uint32_t best = scan < n ? static_cast<std::uint32_t>(scan) : kNone;
        for (std::size_t k = 0; k < ready_count; ++k) {
            if (ready[k] < best) {
                best = ready[k];
                pick = k;
            }
        }
        if (best == kNone) return {};  // the listings contradict each other
        order[placed] = best;
        if (pick == ready_count) {
            ++scan;
            continue;
        }
        ready[pick] = ready[--ready_count];
        for (unsigned c = 0; c < 3; ++c) {
            if (head[c] < listed_[c].size() && listed_[c][head[c]] == best) {
                ++head[c];
                reach(c);
            }
        }
    }
    for (std::vector<std::uint32_t>& list : listed_) std::vector<std::uint32_t>().swap(list);
    renumber(order);
    return order;
}

// The terms and SOS members take the ids of the variables' new order.
void LpParser::renumber(const std::vector<std::uint32_t>& order) {
    std::vector<std::uint32_t> new_id(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) new_id[order[i]] = static_cast<std::uint32_t>(i);
    const auto moved = [&](VarId id) { return id == kRangeSlot ? id : VarId{new_id[id]}; };
    for (ConstraintRecord& c : rows_) {
        for (Term& t : std::span(terms_of(c), c.terms.size())) t.id = moved(t.id);
    }
    for (Term& t : std::span(objective_begin_, objective_count_)) t.id = moved(t.id);
    for (SosGroup& g : sos_) {
        for (SosMember& m : g.members) m.id = moved(m.id);
    }
}

// The model's records, in the given order (or that of first appearance), one block of the
// exact size; the variables as parsed go.
void LpParser::make_records(const std::vector<std::uint32_t>& order) {
    const std::size_t n = variables_.size();
    records_.reserve(n);
    constexpr std::size_t kAhead = 16;  // the parsed variables are read at random: fetched ahead
    for (std::size_t i = 0; i < n; ++i) {
        if (!order.empty() && i + kAhead < n) __builtin_prefetch(&variables_[order[i + kAhead]]);
        const ParsedVariable& p = variables_[order.empty() ? i : order[i]];
        VariableRecord& v = records_.emplace_back();
        v.name.assign(p.name);
        v.lb = p.lb;
        v.ub = p.ub;
        v.category = p.category;
    }
    HugeVector<ParsedVariable>().swap(variables_);
}

// Range variables, after every variable of the file, in row order.
void LpParser::make_range_variables(LpLoadFacts& facts) {
    facts.ranged_rows = ranged_.size();
    for (const RangedRow& r : ranged_) {
        ConstraintRecord& c = rows_[r.row];
        Term* const terms = terms_of(c);
        const std::size_t count = c.terms.size();
        const bool lo_open = std::isinf(r.lo);
        const bool hi_open = std::isinf(r.hi);
        if ((r.lo == r.hi && !lo_open) || lo_open != hi_open) {
            c.terms = TermMap::lent(terms, count - 1);  // the term kept for a variable goes
            if (r.lo == r.hi && !lo_open) {
                c.sense = Sense::Equal;
                c.rhs = r.lo;
            } else if (hi_open) {
                c.sense = Sense::GreaterEqual;
                c.rhs = r.lo;
            } else {
                c.sense = Sense::LessEqual;
                c.rhs = r.hi;
            }
            continue;
        }
        const std::string base = Msg() << c.name << "_range";
        std::string chosen = base;
        for (std::size_t k = 2; index_.find(chosen) != NameTable::kAbsent; ++k) chosen = Msg() << base << k;
        const VarId id = add_variable(NameTable::prepare(chosen));
        variables_[id].lb = r.lo;
        variables_[id].ub = r.hi;
        terms[count - 1].id = id;
        ++facts.range_variables;
    }
}

// Constraint names: each at most once (automatic names are unique by their numbers).
void LpParser::check_constraint_names() const {
    if (!has_repeated_name(rows_.size(), [&](std::size_t i) { return std::string_view(rows_[i].name); })) return;
    std::unordered_map<std::string_view, std::size_t> first;
    first.reserve(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const auto [it, fresh] = first.try_emplace(rows_[i].name, i);
        if (!fresh) {
            fail(starts_[i].where(), "constraint name '", rows_[i].name, "' is used again (first on line ",
                 std::string(Msg() << starts_[it->second].line()), ")");
        }
    }
}

// Sums the repeated variables of term lists into their first places. A short list is searched
// pair by pair; for a longer one, seen[id] = stamp marks the ids met in the list at hand (the
// table is made only when such a list comes).
class RepeatSummer {
public:
    explicit RepeatSummer(std::size_t variables) : variables_(variables) {}

    // The number of terms kept at `begin`: n when no id repeats.
    std::size_t sum(Term* begin, std::size_t n) {
        constexpr std::size_t kShort = 8;
        bool repeats = false;
        if (n <= kShort) {
            for (std::size_t k = 1; k < n; ++k) {
                for (std::size_t i = 0; i < k; ++i) repeats = repeats || begin[i].id == begin[k].id;
            }
        } else {
            if (seen_.empty()) seen_.assign(variables_, 0);
            ++stamp_;
            for (std::size_t k = 0; k < n; ++k) {
                std::uint32_t& s = seen_[begin[k].id];
                repeats = repeats || s == stamp_;
                s = stamp_;
            }
        }
        if (!repeats) return n;
        merged_.clear();
        for (std::size_t k = 0; k < n; ++k) merged_.add(begin[k].id, begin[k].coeff);
        std::copy(merged_.begin(), merged_.end(), begin);
        return merged_.size();
    }

private:
    std::size_t variables_;
    std::vector<std::uint32_t> seen_;
    std::uint32_t stamp_ = 0;
    TermMap merged_;
};

// The first term of a summed list whose coefficient is not finite, or nullptr.
const Term* first_not_finite(const Term* begin, std::size_t n) {
    const Term* const end = begin + n;
    const Term* t = std::find_if(begin, end, [](const Term& x) { return !std::isfinite(x.coeff); });
    return t == end ? nullptr : t;
}

void LpParser::sum_repeated_terms(LpLoadFacts& facts) {
    RepeatSummer summer(records_.size());
    std::size_t entries = 0;
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        ConstraintRecord& c = rows_[r];
        Term* const begin = terms_of(c);
        const std::size_t n = c.terms.size();
        const std::size_t kept = summer.sum(begin, n);
        if (kept != n) {
            c.terms = TermMap::lent(begin, kept);
            if (const Term* t = first_not_finite(begin, kept)) {
                fail(starts_[r].where(), "the coefficients of '", records_[t->id].name, "' in constraint '", c.name,
                     "' add up to a number that is not finite");
            }
        }
        entries += kept;
    }
    facts.entries = entries - facts.range_variables;
    const std::size_t kept = summer.sum(objective_begin_, objective_count_);
    if (kept != objective_count_) {
        objective_count_ = kept;
        if (const Term* t = first_not_finite(objective_begin_, kept)) {
            fail(objective_at_, "the coefficients of '", records_[t->id].name,
                 "' in the objective add up to a number that is not finite");
        }
    }
    // An objective coefficient written "-0" is kept as 0.
    for (Term& t : std::span(objective_begin_, objective_count_)) t.coeff += 0.0;
    facts.objective_entries = objective_count_;
}

void LpParser::finish(LpLoadFacts& facts) {
    flush();
    if (placeholder_) drop_placeholder();
    if (cursor_ != nullptr) arena_.keep(cursor_);
    make_range_variables(facts);
    // Every variable is known: the name table's room goes to the records, then that of the
    // names to the check of constraint names.
    index_ = NameTable();
    make_records(order_variables());
    names_ = NameArena();
    check_constraint_names();
    sum_repeated_terms(facts);
    if (objective_name_) facts.objective_name = *objective_name_;
    facts.lines = line_;
    facts.sections = sections_;
}

void LpParser::fill(ModelCore& core, const std::shared_ptr<SharedModel>& self) {
    ExprValue objective;
    objective.model = ModelRef::to(self);
    objective.name = std::move(objective_name_);
    objective.terms = TermMap::lent(objective_begin_, objective_count_);
    objective.constant = objective_constant_ + 0.0;
    core.variables = std::move(records_);
    core.term_arena = std::move(arena_);
    core.constraints = std::move(rows_);
    core.sos_groups = std::move(sos_);
    core.objective = std::move(objective);
    core.objective_sense = sense_;
    core.auto_name_counter = automatic_;
}

}  // namespace

std::shared_ptr<SharedModel> load_lp_stream(ByteSource& raw, std::size_t piece, const LpLoadOptions& options,
                                            LpLoadFacts& facts) {
    CountingSource counted(raw);
    MaybeGzipSource source(counted);
    Input input(source, piece, options.interrupt);
    auto parser = std::make_unique<LpParser>(input, options);
    parser->parse();
    parser->finish(facts);
    facts.compressed = source.compressed();
    facts.bytes = counted.count;
    auto model = std::make_shared<SharedModel>(std::move(parser->problem_name));
    with_core(*model, [&](ModelCore& core) { parser->fill(core, model); });
    parser.reset();
    release_free_heap();
    return model;
}

std::shared_ptr<SharedModel> load_lp_model(std::string_view path, const LpLoadOptions& options, LpLoadFacts& facts) {
    InputFile file(path, options.interrupt);
    // Two pieces are held at a time (the tokens of the last one stay valid): a quarter of the
    // file reader's piece keeps them small beside the model and costs no speed.
    return load_lp_stream(file.source(), std::min<std::size_t>(file.piece(), std::size_t{1} << 18), options, facts);
}

}  // namespace ondrel::io
