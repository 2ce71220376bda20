#pragma once
// check: a script read the way the interpreter reads it, and what can go wrong
// when it runs. Every token, definition, lookup and jump target here comes from
// the interpreter's own scanning, index and label-search functions (a forward
// search that an earlier one for the same label already passed over takes that
// one's result). This unit adds the walk over what can run and the exact run
// of the stretch every run takes. Shared by qka-check and qka-lsp.

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

// What a native word takes and leaves, for stack depths and for hover.
struct native_info {
    native_handler handler;
    const char* name;
    int pops;              // cells taken first (the word ends the run when they are missing)
    int pushes;            // cells left
    const char* effect;    // the stack effect
    const char* summary;   // one line
};

// The rows for all native words, one per handler.
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

enum class severity { error, warning };

struct finding {
    const char* where;    // the token the finding is about
    severity level;
    std::string message;  // English, UTF-8
};

// Everything the checker finds, sorted by position (errors before warnings at
// the same position).
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
