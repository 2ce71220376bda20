#pragma once
// slow_paths: what the IR interpreter does off its fast path, on the machine
// record itself, which the interpreter has brought up to date first.

#include "ir.hpp"
#include "quokkavm.hpp"

struct tier_state;

// Before a call that found no frame or no return entry ready: at the deepest
// nesting the run ends with the walker's report; otherwise both are made.
void make_room_for_call(forth_vm& vm);

// Grows the value stack's storage so that cells more cells fit above the
// top; false when that would pass the most cells the stack may hold.
bool make_stack_room(forth_vm& vm, std::int32_t cells);

// Takes an exit that is not linked yet: the code it goes to once there is
// some, or nullptr for the walker to go on at exit.resume.
const ir_insn* take_unlinked_exit(forth_vm& vm, tier_state& tiers, ir_exit& exit);

// Runs a native handler on the machine as the walker would at that token.
void run_native(forth_vm& vm, native_handler handler);
