#pragma once
// quokkavm: the machine record, its creation and destruction, the user word
// index with its two lookups, and the executor.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

enum class cell_tag : std::int32_t { UNKNOWN = 0, NUMBER = 1, STRING = 2, LABEL = 3 };

struct cell {
    cell_tag tag;  // travels with the value; no word checks it
    std::int32_t value;
    bool operator==(const cell&) const = default;
};

// The value stack: cells from base up to top (the next free cell), in storage
// that doubles when full, up to the limit on cells that word_push enforces.
struct value_stack {
    std::unique_ptr<cell[]> storage;
    cell* base = nullptr;
    cell* top = nullptr;
    cell* limit = nullptr;  // one past the last allocated cell

    bool empty() const noexcept { return top == base; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(top - base); }
};

// Where a running word was called from: the calling token, and when
// translated code made the call, the exit by which its code goes on after
// the return (nullptr when the text walker made it).
struct ir_exit;
struct return_entry {
    const char* call_token;
    const ir_exit* resume;
};

// The calls now running, innermost on top, in storage that doubles when full.
// Both tiers push and pop here, so either can return to the other.
struct return_stack {
    std::unique_ptr<return_entry[]> storage;
    return_entry* base = nullptr;
    return_entry* top = nullptr;
    return_entry* limit = nullptr;

    std::size_t size() const noexcept { return static_cast<std::size_t>(top - base); }
    void push(const return_entry& entry);
    return_entry pop() noexcept { return *--top; }
    void grow();  // doubles the storage (or makes the first)
};

// What the tiered executor keeps between runs (see tiers.hpp): hot-code
// counts and translated code. Empty for the reference walker.
struct tier_state;
struct tier_state_deleter {
    void operator()(tier_state* state) const noexcept;
};

// The one record every operation receives. Its members own the stack, the
// frames, the globals and the index; the script text belongs to the caller.
struct forth_vm {
    value_stack stack;
    // Frame n starts at n * frame_stride: its 32 locals, then scratch cells
    // that translated code keeps intermediate values in.
    std::vector<std::int32_t> locals;
    std::uint16_t depth = 0;                 // call depth; selects the frame
    const char* text = nullptr;              // start of the NUL-terminated script
    const char* text_end = nullptr;          // the NUL that ends the script
    const char* current = nullptr;           // the token being executed; nullptr: none
    std::array<std::int32_t, 32> globals{};  // variables 32 to 63
    std::vector<const char*> words;          // user word index, sorted by name
    return_stack returns;                    // the words now running
    std::unique_ptr<tier_state, tier_state_deleter> tiers;  // made on the first run
};

using native_handler = void (*)(forth_vm&);

struct native_word {
    const char* name;  // a constant NUL-terminated text
    native_handler handler;
};

// A frame holds a word's 32 locals and, after them, scratch integers for
// the translated tier's intermediate values.
inline constexpr std::size_t frame_locals = 32;
inline constexpr std::size_t frame_stride = 128;
// Frames kept allocated past the current depth: translated code with calls
// inlined uses the frames of those calls without making them.
inline constexpr std::size_t spare_frames = 8;
// Deepest call nesting: the depth counter is 16 bits wide.
inline constexpr std::uint32_t max_depth = 65535;

// Local i (0 to 31) of the frame at the machine's depth.
inline std::int32_t& local_variable(forth_vm& vm, std::size_t i) noexcept
{
    return vm.locals[std::size_t{vm.depth} * frame_stride + i];
}

// Builds a machine over text (NUL-terminated, owned by the caller, unchanged
// for the machine's life): a value stack of cells, frames zeroed local frames,
// the user word index, and the native table sorted. Index reports come first.
forth_vm forth_vm_create(std::size_t cells, std::size_t frames, const char* text);

// Releases what creation acquired and hands back the text for its owner.
const char* forth_vm_destroy(forth_vm& vm);

// What a walk over every token of a text finds about definitions: the name
// after each ':' marker in text order, and the ':' that ends the text with no
// name after it. It reports nothing, so tools can read a script as the index does.
struct definition_scan {
    std::vector<const char*> names;        // in text order; duplicates kept
    const char* nameless_colon = nullptr;  // the last token, a ':' without a name
    bool index_full = false;               // the names could not all be stored
};
definition_scan scan_definitions(const char* text);

// The names of scan sorted as the index keeps them, duplicates in the order
// in which lookups meet them.
std::vector<const char*> sorted_word_index(std::vector<const char*> names);

// Scans the whole text for ':' markers and stores the sorted index in vm.words.
void create_word_suffix_array(forth_vm& vm);

// The name in index (sorted by sorted_word_index) equal to the word at key,
// or nullptr; the search find_user_word makes behind its cache.
const char* lookup_user_word(std::span<const char* const> index, const char* key) noexcept;

// The cache slot, 0 to 63, of the word at key.
unsigned word_hash(const char* key);

// The name position of the user word at key, or nullptr.
const char* find_user_word(forth_vm& vm, const char* key);

// The handler of the native word at key in table (sorted by name), or nullptr.
native_handler find_native(std::span<const native_word> table, const char* key);

// Orders two table entries by name; the order sorting and searching rely on.
bool native_entry_compare(const native_word& a, const native_word& b);

// Runs from vm.current until the word started there ends; the words it calls
// run within the same call, their return positions kept by the machine.
void forth_vm_exec(forth_vm& vm);

// Runs the user word named name from depth 0. Returns 1 when it exists and
// ran, 0 when it does not exist (then nothing runs and nothing is reported).
int forth_vm_run_word(forth_vm& vm, const char* name);

// ---------------------------------------------------------------------------
// The text walker: the reference semantics. It re-reads the text for every
// token; the tiered executor (tiers.hpp) runs it too, with hooks at the places
// where hot code is counted.

#ifdef QKA_TOKEN_LIMIT
// Thrown when a fuzzing build has executed its bound of tokens.
struct token_limit_reached {};
// Counts one executed step against the bound.
void count_executed_token();
// Counts n executed steps at once.
void count_executed_tokens(std::uint64_t n);
// Starts a new count of executed tokens.
void reset_token_limit();
#else
inline void count_executed_token() noexcept {}
#endif

// Does what the token at t asks, unless it names a user word: pushes a
// literal, passes a label, runs a native handler, or reports an undefined
// word and ends the run. For a user word it does nothing and returns the
// position of its name; otherwise nullptr.
const char* perform_token(forth_vm& vm, const char* t);

// Makes sure the next call depth and the spare frames past it exist; at the
// deepest nesting the run ends with a report instead.
void prepare_call_depth(forth_vm& vm);

// Raises the call depth for a call, as prepare_call_depth allows.
void enter_call_depth(forth_vm& vm);

// The plain text walker, with no other tier.
void walk_text(forth_vm& vm);
