#pragma once
// translator: turns the straight run of tokens at a position into an IR
// block by abstract interpretation over a symbolic stack. What a token does is
// a function of its position (the text never changes), so a place in the text
// is translated once and the block serves every way into it.

#include <memory>
#include <unordered_set>

#include "machine/machine.hpp"
#include "translate/ir.hpp"

// What the translator remembers between blocks: the words whose bodies
// cannot be inlined, so that they are not tried again at every call.
struct translation_memo {
    std::unordered_set<const char*> not_inlinable;  // by the first token of the body
};

// The most calls deep that a block inlines; their frames must exist.
inline constexpr int max_inline_levels = 4;
static_assert(max_inline_levels < static_cast<int>(spare_frames));

// The block for the run that starts at the token start, or nullptr where the
// run cannot be translated (the walker then keeps running it). Reads the text
// and the dictionaries only; may throw std::bad_alloc.
std::unique_ptr<ir_block> translate_block(forth_vm& vm, translation_memo& memo, const char* start);
