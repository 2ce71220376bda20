#pragma once
// executor: the machine's creation and destruction, the run of a word by
// name, and what one token does on the text walker.

#include <cstddef>

#include "machine/machine.hpp"

// Builds a machine over text (NUL-terminated, owned by the caller, unchanged
// for the machine's life): a value stack of cells, frames zeroed local frames,
// the user word index, and the native table sorted. Index reports come first.
forth_vm forth_vm_create(std::size_t cells, std::size_t frames, const char* text);

// Releases what creation acquired and hands back the text for its owner.
const char* forth_vm_destroy(forth_vm& vm);

// Runs from vm.current until the word started there ends; the words it calls
// run within the same call, their return positions kept by the machine. The
// program links the plain walker (run_walker.cpp) or the tiers (run_tiered.cpp).
void forth_vm_exec(forth_vm& vm);

// Runs the user word named name from depth 0. Returns 1 when it exists and
// ran, 0 when it does not exist (then nothing runs and nothing is reported).
int forth_vm_run_word(forth_vm& vm, const char* name);

// Does what the token at t asks, unless it names a user word: pushes a
// literal, passes a label, runs a native handler, or reports an undefined
// word and ends the run. For a user word it does nothing and returns the
// position of its name; otherwise nullptr.
const char* perform_token(forth_vm& vm, const char* t);

// The plain text walker, with no other tier.
void walk_text(forth_vm& vm);
