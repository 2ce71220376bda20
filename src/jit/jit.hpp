#pragma once
// jit: machine code for hot IR. A region is a block that hot code
// comes back to (the head of a loop, the body of a word, the code after a
// call) with the blocks linked from it; it is compiled as one piece, with
// the variables it uses most kept in registers across all of it and written
// back on every way out. Machine code calls nothing: whatever it does not do
// itself (printing, reports, a stack that does not suit, the walker), it hands
// to the IR interpreter at that instruction, the machine then exactly as the
// interpreter expects it there.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "translate/ir.hpp"
#include "translate/ir_interpreter.hpp"
#include "machine/machine.hpp"

// The machine code made for one machine record: its executable memory and
// what has been compiled into it.
struct jit_code;
struct jit_code_deleter {
    void operator()(jit_code* code) const noexcept;
};
using jit_code_ptr = std::unique_ptr<jit_code, jit_code_deleter>;

// Machine code for this machine, or nullptr where this build or this system
// has none (no machine code built in, or no executable memory to be had).
jit_code_ptr make_jit_code();

// Compiles the region headed by block and gives block its ways in; gives
// the region's blocks, or nothing (and nothing changed) where the region
// cannot be compiled or the bound on code memory is reached.
std::vector<ir_block*> compile_region(jit_code& code, ir_block& block, std::size_t hot_text_bytes);

// Runs machine code from code (the code of a machine_code instruction) until it
// hands back; returns the IR instruction the interpreter goes on with.
const ir_insn* run_machine_code(jit_code& code, machine_code_state& state, const void* entry);

// The stub that machine code leaving by an exit goes to while the exit's
// target has no machine code: it hands the run to the interpreter there.
const void* machine_code_exit_stub(const jit_code& code);

// The most bytes of machine code there may be for this many bytes of hot
// text: beyond it, further hot code stays on the IR tier.
constexpr std::size_t machine_code_bound(std::size_t hot_text_bytes) noexcept
{
    return hot_text_bytes * 64 + (std::size_t{1} << 20);
}

// Bytes of machine code made so far.
std::size_t machine_code_bytes(const jit_code& code);
