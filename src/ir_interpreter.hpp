#pragma once
// ir_interpreter: runs translated blocks. Its loop keeps the stack pointer,
// the frame and the return stack in registers, and brings the machine up to
// date wherever it hands over (to a handler, to the tiers or to the walker).

#include <cstddef>

#include "ir.hpp"
#include "quokkavm.hpp"

struct tier_state;

// Gives each instruction of the block (and of its exits' stubs) the
// interpreter's code for its operation and operand kinds.
void prepare_block(ir_block& block);
void prepare_insn(ir_insn& insn);

// Runs from ip until the code hands the run back to the walker, and returns
// the token the walker goes on with (nullptr: the running word ends). A
// return from the word that the walker runs at the return stack's height
// floor is handed back at its ";".
const char* run_ir(forth_vm& vm, tier_state& tiers, const ir_insn* ip, std::size_t floor);
