#pragma once
// machine: the record every operation receives — cells, the value stack,
// the return stack of the calls now running, the local-variable frames and
// the call depth, the globals and the user word index — and the operations on
// its stacks and call depth.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// What the tiered executor keeps between runs (see run/tiers.hpp): hot-code
// counts and translated code. Empty for the reference walker; whoever makes
// it says how it is released.
struct tier_state;
struct tier_state_owner {
    void (*release)(tier_state*) = nullptr;
    void operator()(tier_state* state) const noexcept { release(state); }
};

// Variables 32 to 63, in cache lines of their own: translated code stores to
// them on every pass of a loop, and where they shared a line with the value
// stack's first cells, such a loop ran 2.9 times slower on an AMD EPYC.
struct alignas(64) global_variables : std::array<std::int32_t, 32> {};

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
    std::unique_ptr<global_variables> globals = std::make_unique<global_variables>();  // variables 32 to 63
    std::vector<const char*> words;          // user word index, sorted by name
    return_stack returns;                    // the words now running
    std::unique_ptr<tier_state, tier_state_owner> tiers;  // made on the first run
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

// The most cells the value stack may hold; a push beyond ends the run.
inline constexpr std::size_t max_stack_cells = 1'048'576;

// Pushes a cell; a push beyond max_stack_cells ends the run.
void word_push(forth_vm& vm, cell_tag tag, std::int32_t value);
// Removes and returns the top cell; an empty stack ends the run.
cell word_pop(forth_vm& vm);

// Moves the stack into storage of cells cells (at least its size).
void grow_value_stack(forth_vm& vm, std::size_t cells);

// Makes the storage hold cells more cells above the top; false when the
// stack would then pass max_stack_cells (a push there would be reported).
bool reserve_stack_cells(forth_vm& vm, std::int32_t cells);

// Makes sure the next call depth and the spare frames past it exist; at the
// deepest nesting the run ends with a report instead.
void prepare_call_depth(forth_vm& vm);

// Raises the call depth for a call, as prepare_call_depth allows.
void enter_call_depth(forth_vm& vm);

// Before a call made without the walker: the frame and the return entry it
// needs, or the report of the deepest nesting.
void prepare_call(forth_vm& vm);
