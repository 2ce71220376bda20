#pragma once
// machine_code_calls: what machine code calls for the work it does not do
// itself, the same for every back end. No exception may unwind through
// machine code, so a call that throws (a bound on steps, a fatal report in
// a build whose reports throw) keeps the exception in the state and says so;
// machine code then hands back, and the interpreter throws it again.

#include <cstdint>

#include "translate/ir_interpreter.hpp"

// Writes x as the output word of kind does; false where it threw.
bool call_write_output(machine_code_state* state, std::int32_t kind, std::int32_t x) noexcept;

// Runs a built-in word's handler on the machine, its stack topped at sp,
// its running word's frame and its return stack where machine code keeps
// them; returns the stack's top after it, or nullptr where it threw. The
// block's check has made room for what it pushes, so the stack's storage
// stays where it is.
cell* call_native_word(machine_code_state* state, native_handler handler, cell* sp, std::int32_t* frame,
                       return_entry* rp) noexcept;

// System variable k (0 to 31).
std::int32_t call_system_variable(std::int32_t k) noexcept;
