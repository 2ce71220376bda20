#pragma once
// check: a script read the way the interpreter reads it, and what can go wrong
// when it runs. Every token, definition, lookup and jump target here comes from
// the interpreter's own scanning, index and label-search functions (a forward
// search that an earlier one for the same label already passed over takes that
// one's result). This unit adds the walk over what can run (from main, past
// fatal errors, and through definitions that never run) and the runs
// themselves, followed as value ranges and forked where the clock or random
// numbers decide, which say how sure each finding is. Shared by qka-check and
// qka-lsp.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.hpp"
#include "text/word_index.hpp"
#include "words/native_table.hpp"

// What a native word takes and leaves, for stack depths and for hover: the
// rows of the word list (name, pops, pushes, effect, summary).
using native_info = word_info;

// The rows for all native words, in the word list's order.
const std::array<native_info, native_count>& native_infos();

// The script as the interpreter will see it. The text (NUL-terminated) belongs
// to the caller and must outlive the program.
struct program {
    const char* text = nullptr;
    const char* text_end = nullptr;            // the NUL that ends the text for every step
    std::vector<const char*> tokens;           // every token the forward step visits, in order
    std::vector<const char*> line_starts;      // the first byte of every line ('\n' ends one)
    definition_scan definitions;               // names in text order
    std::vector<const char*> index;            // the user word index, sorted as the interpreter's
    std::array<native_word, native_count> natives;  // the native table, sorted
    forth_vm positions;                        // only for the numbers of text positions
};

program read_program(const char* text);

// The native row of the word at p, or nullptr when p is no native word.
const native_info* native_at(const program& prog, const char* p);

// True when p is the first byte of a token the forward step visits from the start.
bool is_token_start(const program& prog, const char* p);

// The token that contains byte p (a token's white space belongs to none), or nullptr.
const char* token_at(const program& prog, const char* p);

// One past the last byte of the token at p.
const char* token_end(const program& prog, const char* p);

// The 1-based line and byte column of p.
struct line_column {
    std::size_t line;
    std::size_t column;
};
line_column locate(const program& prog, const char* p);

// The first byte of every line ('\n' ends one) of the text up to end, and the
// line and column of p among them: what locate reads, for a tool that needs
// no more of the program.
std::vector<const char*> line_starts_of(const char* text, const char* end);
line_column locate(const std::vector<const char*>& line_starts, const char* p);

// error: every run that reaches the place ends there with status 1.
// warning: the interpreter reports something and the run goes on, or the
//   failure happens on some runs only (a branch on the clock or on random
//   numbers decides), or the code would fail if it ran but never runs.
// note: code that never runs.
enum class severity { error, warning, note };

// The stable code of each kind of finding ("QKA" and three digits), for
// filters, disable comments and rule tables. The manual lists them all.
namespace check_code {
inline constexpr const char* undefined_word = "QKA101";
inline constexpr const char* unterminated_string = "QKA102";
inline constexpr const char* unterminated_comment = "QKA103";
inline constexpr const char* label_not_found = "QKA104";
inline constexpr const char* bad_store = "QKA105";
inline constexpr const char* bad_fetch = "QKA106";
inline constexpr const char* underflow = "QKA107";
inline constexpr const char* endless_recursion = "QKA108";
inline constexpr const char* too_deep = "QKA109";
inline constexpr const char* overflow = "QKA110";
inline constexpr const char* division_by_zero = "QKA201";
inline constexpr const char* bad_reference = "QKA202";
inline constexpr const char* no_reference = "QKA203";
inline constexpr const char* missing_references = "QKA204";
inline constexpr const char* on_goto_not_found = "QKA205";
inline constexpr const char* nameless_colon = "QKA206";
inline constexpr const char* duplicate_definition = "QKA207";
inline constexpr const char* backward_view = "QKA208";
inline constexpr const char* no_main = "QKA209";
inline constexpr const char* byte_order_mark = "QKA210";
inline constexpr const char* shebang_cr = "QKA211";
inline constexpr const char* never_runs = "QKA301";
inline constexpr const char* unreachable = "QKA302";
inline constexpr const char* unused_label = "QKA303";
}  // namespace check_code

// A row of the table of codes: the code, a short name, its usual severity and
// a one-line description (for SARIF rules and for hover).
struct check_rule {
    const char* code;
    const char* name;
    severity level;
    const char* summary;
};
const std::vector<check_rule>& check_rules();

struct finding {
    const char* where;    // the token the finding is about
    severity level;
    const char* code;     // one of check_code
    std::string message;  // English, UTF-8
    // The token of the fatal error that makes this code unreachable, or of
    // the definition, when there is one.
    const char* related = nullptr;
};

// Everything the checker finds, sorted by position (errors before warnings
// before notes at the same position), with the findings that disable comments
// silence left out.
std::vector<finding> check_program(const program& prog);

// How a jumping word or an on_goto reference leads to its label.
struct jump {
    const char* word;       // go_down, go_up, if, loop or on_goto
    const char* reference;  // the reference the label comes from (nullptr: none)
    const char* landing;    // the label token the jump lands on (nullptr: none)
    bool backward;
};

// Every jump the text could make: one per go_down, go_up, if and loop token,
// and one per reference of each on_goto whose count stands before it as a
// literal (or, without one, per reference written with '@' second).
std::vector<jump> all_jumps(const program& prog);

// The jump whose reference is the token at p, if p is one.
std::optional<jump> jump_of_reference(const program& prog, const char* p);

// The comments a straight reading from the start meets: each from its "/*"
// to its "*/" token (or the last token), in text order. Tokens inside them run
// only when a jump lands there.
struct comment_span {
    const char* open;
    const char* close;
};
std::vector<comment_span> comment_spans(const program& prog);

// True when p lies within one of spans (sorted, from comment_spans).
bool in_comment(const std::vector<comment_span>& spans, const char* p);

// The word at p as it can be shown in a message: printable ASCII and valid
// UTF-8 as they are, other bytes as \xhh, long words cut.
std::string show_word(const char* p, std::size_t limit = 40);
