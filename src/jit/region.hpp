#pragma once
// region: what machine code is compiled as one piece. Which blocks go
// together and which variables live in registers depends on the IR alone, so
// any machine's back end starts from here.
//
// Besides locals and globals, a region may keep stack cells in registers:
// where the stack pointer stands at every block's entry at the same place
// relative to where it stood at the head's, on every way through the region,
// each slot operand names a fixed cell counted from the head's entry, and a
// cell the code carries from pass to pass (an accumulator or a counter left on
// the stack across a loop) is a variable like any other. Only its value moves
// to a register; its tag stays in the stack's memory, where every write of
// the region keeps it exact. The value is written back wherever the run
// leaves the region's own code, so that the interpreter, the handlers and the
// walker find the stack as the walker would have it.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "translate/ir.hpp"

// A variable as operands name it: a frame integer, a global, or (kind slot)
// the value of the stack cell index cells from where the stack pointer stood
// at the head's entry (-1: the top then).
struct region_variable {
    ir_kind kind;
    std::int32_t index;
    bool written;  // somewhere in the region: written back on the ways out
    bool operator==(const region_variable& o) const noexcept { return kind == o.kind && index == o.index; }
};

// Whether a variable number computed in a word inlined level deep can name
// v: a global, or one of that word's locals; never a scratch integer or a
// stack cell.
constexpr bool addressable_from(const region_variable& v, std::int32_t level) noexcept
{
    if (v.kind == ir_kind::global) return true;
    const auto first = level * static_cast<std::int32_t>(frame_stride);
    return v.kind == ir_kind::frame && v.index >= first && v.index < first + static_cast<std::int32_t>(frame_locals);
}

struct code_region {
    std::vector<ir_block*> blocks;  // the head first, then the blocks linked from it
    std::vector<region_variable> in_registers;  // the most used variables, at most registers of them
    // Where the stack pointer stands at each block's entry, in cells from
    // where it stood at the head's, as blocks lists them; filled in only
    // where stack cells are among the variables in registers.
    std::vector<std::int32_t> depths;

    // The place of block in blocks, or blocks.size() when it is not in the region.
    std::size_t position_of(const ir_block* block) const;
    // The place of the variable in in_registers, or in_registers.size().
    std::size_t register_of(ir_kind kind, std::int32_t index) const;
    // Whether some stack cell is kept in a register.
    bool keeps_cells() const noexcept { return !depths.empty(); }
    // Where the stack pointer stands at the entry of blocks[i], from the head's.
    std::int32_t depth_of(std::size_t i) const noexcept { return depths.empty() ? 0 : depths[i]; }
};

// Division by a constant d (not -1, 0 or 1) as a multiplication: the
// quotient truncated toward zero is the high half of n * multiplier, plus n
// when the multiplier's sign differs from d's (minus n the other way), shifted
// right arithmetically by shift, plus 1 when that is negative.
struct divisor_magic {
    std::int32_t multiplier;
    int shift;
    int add;  // +1: add n to the high half, -1: subtract it, 0: neither
};
divisor_magic magic_for(std::int32_t d) noexcept;

// The quotient by the magic, as machine code computes it.
constexpr std::int32_t quotient_by_magic(std::int32_t n, const divisor_magic& m) noexcept
{
    auto high = static_cast<std::int32_t>((std::int64_t{n} * m.multiplier) >> 32);
    const auto un = static_cast<std::uint32_t>(n);
    const std::uint32_t added = m.add > 0 ? un : m.add < 0 ? 0u - un : 0u;
    high = static_cast<std::int32_t>(static_cast<std::uint32_t>(high) + added);
    high >>= m.shift;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(high) + (static_cast<std::uint32_t>(high) >> 31));
}

// What a machine call of a user word moves: the frame of locals, the return
// stack, and the machine stack (the return address and its alignment).
inline constexpr std::size_t frame_bytes = frame_stride * sizeof(std::int32_t);
inline constexpr std::size_t machine_call_bytes = 16;
static_assert(std::has_single_bit(frame_bytes) && std::has_single_bit(sizeof(return_entry)));

inline constexpr std::size_t max_region_blocks = 64;
inline constexpr std::size_t max_region_instructions = 4096;

// The region headed by head: the blocks reachable from it by linked jumps
// and branches, breadth first, within the bounds; the variables used most in
// them, registers of them at most. Stack cells compete for the registers only
// where every block's entry depth is fixed (no call: what a body leaves on
// the stack is its own affair), and only cells that the head's check proves
// to be in the stack's storage, so that loading and writing them back never
// touches memory outside it.
code_region form_region(ir_block& head, std::size_t registers);
