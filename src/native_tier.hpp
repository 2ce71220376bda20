#pragma once
// native_tier: machine code for hot IR. A region is a block that hot code
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

#include "ir.hpp"
#include "quokkavm.hpp"

// The registers of the IR interpreter that machine code runs with and hands
// back; the interpreter fills it in and takes it back.
struct native_state {
    cell* sp;
    std::int32_t* frame;
    std::int32_t* globals;
    return_entry* rp;
    return_entry* rp_floor;    // a return here ends the walker's word
    return_entry* rp_limit;    // the return stack is full here
    cell* stack_base;
    cell* stack_limit;
    std::int32_t* frames;
    std::int32_t* call_limit;  // a call from this frame or above needs the interpreter
    std::int64_t steps;        // bounded test builds: jumps left before handing back
};

// The machine code made for one machine record: its executable memory and
// what has been compiled into it.
struct native_code;
struct native_code_deleter {
    void operator()(native_code* code) const noexcept;
};
using native_code_ptr = std::unique_ptr<native_code, native_code_deleter>;

// Machine code for this machine, or nullptr where this build or this system
// has none (no native tier built in, or no executable memory to be had).
native_code_ptr make_native_code();

// Compiles the region headed by block and gives block its ways in; gives
// the region's blocks, or nothing (and nothing changed) where the region
// cannot be compiled or the bound on code memory is reached.
std::vector<ir_block*> compile_region(native_code& code, ir_block& block, std::size_t hot_text_bytes);

// Runs machine code from code (an instruction's native_enter target) until it
// hands back; returns the IR instruction the interpreter goes on with.
const ir_insn* run_native(native_code& code, native_state& state, const void* entry);

// The stub that machine code leaving by an exit goes to while the exit's
// target has no machine code: it hands the run to the interpreter there.
const void* native_exit_stub(const native_code& code);

// The most bytes of machine code there may be for this many bytes of hot
// text: beyond it, further hot code stays on the IR tier.
constexpr std::size_t native_code_bound(std::size_t hot_text_bytes) noexcept
{
    return hot_text_bytes * 64 + (std::size_t{1} << 20);
}

// Bytes of machine code made so far.
std::size_t native_code_bytes(const native_code& code);
