#include "jit/region.hpp"

#include <algorithm>
#include <unordered_map>

namespace {

// The linked ways on from block that stay machine code: jumps, branches,
// and where a call returns to.
template <typename Visit>
void for_each_linked_jump(const ir_block& block, Visit visit)
{
    for (std::size_t i = 0; i < block.exit_count; ++i)
        if (block.exits[i].linked != nullptr) visit(*block.exits[i].linked);
    if (block.site && block.site->resume.linked != nullptr) visit(*block.site->resume.linked);
}

bool names_variable(ir_kind kind) { return kind == ir_kind::frame || kind == ir_kind::global; }

// Whether machine code goes on past insn in its block: it stops at the
// block's terminator, and at whatever it hands to the interpreter.
bool compiled_past(const ir_insn& insn)
{
    switch (insn.op) {
    case ir_op::leave:
    case ir_op::exit_unlinked:
    case ir_op::machine_code: return false;
    default: return !is_terminator(insn.op);
    }
}

// Where the stack pointer stands at each block's entry, counted from the
// head's, when that is the same on every way through the region; empty where
// it is not, or where a call makes it whatever the body leaves.
std::vector<std::int32_t> entry_depths(const code_region& region)
{
    const std::size_t n = region.blocks.size();
    std::vector<std::int32_t> depths(n, 0);
    std::vector<bool> known(n, false);
    known[0] = true;
    // Each block but the head was found from one before it, so one pass in
    // order gives every block a depth; every way in must then agree with it.
    for (std::size_t i = 0; i < n; ++i) {
        const ir_block& block = *region.blocks[i];
        // A handler moves the stack pointer inside its block, by what it
        // pops and pushes, and works on the cells in memory.
        const bool runs_handler = std::any_of(block.code.begin(), block.code.end(),
                                              [](const ir_insn& insn) { return insn.op == ir_op::native_call; });
        if (block.site || runs_handler || !known[i]) return {};
        for (std::size_t e = 0; e < block.exit_count; ++e) {
            const ir_exit& exit = block.exits[e];
            const std::size_t to = region.position_of(exit.linked);
            if (exit.linked == nullptr || to >= n) continue;
            const std::int32_t depth = depths[i] + exit.height;
            if (known[to] && depths[to] != depth) return {};
            depths[to] = depth;
            known[to] = true;
        }
    }
    return depths;
}

}  // namespace

divisor_magic magic_for(std::int32_t d) noexcept
{
    // The least multiplier and shift that give every quotient exactly, found
    // as in Warren's Hacker's Delight (signed division by constants).
    constexpr std::uint32_t two31 = 0x80000000u;
    const std::uint32_t ad = d < 0 ? 0u - static_cast<std::uint32_t>(d) : static_cast<std::uint32_t>(d);
    const std::uint32_t t = two31 + (static_cast<std::uint32_t>(d) >> 31);
    const std::uint32_t anc = t - 1 - t % ad;
    int p = 31;
    std::uint32_t q1 = two31 / anc, r1 = two31 - q1 * anc;
    std::uint32_t q2 = two31 / ad, r2 = two31 - q2 * ad;
    std::uint32_t delta = 0;
    do {
        ++p;
        q1 *= 2;
        r1 *= 2;
        if (r1 >= anc) {
            ++q1;
            r1 -= anc;
        }
        q2 *= 2;
        r2 *= 2;
        if (r2 >= ad) {
            ++q2;
            r2 -= ad;
        }
        delta = ad - r2;
    } while (q1 < delta || (q1 == delta && r1 == 0));
    auto multiplier = static_cast<std::int32_t>(q2 + 1);
    if (d < 0) multiplier = static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(multiplier));
    const int add = d > 0 && multiplier < 0 ? 1 : d < 0 && multiplier > 0 ? -1 : 0;
    return {multiplier, p - 32, add};
}

std::size_t code_region::position_of(const ir_block* block) const
{
    return static_cast<std::size_t>(std::find(blocks.begin(), blocks.end(), block) - blocks.begin());
}

std::size_t code_region::register_of(ir_kind kind, std::int32_t index) const
{
    const region_variable wanted{kind, index, false};
    return static_cast<std::size_t>(std::find(in_registers.begin(), in_registers.end(), wanted) -
                                    in_registers.begin());
}

code_region form_region(ir_block& head, std::size_t registers)
{
    code_region region;
    region.blocks.push_back(&head);
    std::size_t instructions = head.code.size();
    for (std::size_t next = 0; next < region.blocks.size(); ++next) {
        for_each_linked_jump(*region.blocks[next], [&](const ir_block& target) {
            auto* const block = const_cast<ir_block*>(&target);
            if (region.position_of(block) < region.blocks.size()) return;
            if (region.blocks.size() >= max_region_blocks ||
                instructions + block->code.size() > max_region_instructions)
                return;
            instructions += block->code.size();
            region.blocks.push_back(block);
        });
    }

    // Uses of each variable, a write counting as a use; the most used win.
    struct count {
        region_variable variable;
        std::size_t uses;
    };
    std::vector<count> counts;
    // Stack cells are counted where their place is fixed and the head's check
    // proves it is in the stack's storage whenever the region's code runs.
    std::vector<std::int32_t> depths = entry_depths(region);
    const ir_insn& check = head.code.front();
    const bool cells = !depths.empty() && check.op == ir_op::check;
    std::int32_t depth = 0;  // of the instruction whose operands are counted
    const auto use = [&](ir_kind kind, std::int32_t index, bool write) {
        if (kind == ir_kind::slot) {
            if (!cells) return;
            index += depth;
            if (index < -check.a || index >= check.b) return;
        } else if (!names_variable(kind)) {
            return;
        }
        for (count& c : counts)
            if (c.variable == region_variable{kind, index, false}) {
                ++c.uses;
                c.variable.written = c.variable.written || write;
                return;
            }
        counts.push_back({{kind, index, write}, 1});
    };
    for (std::size_t i = 0; i < region.blocks.size(); ++i) {
        for (const ir_insn& insn : region.blocks[i]->code) {
            // a terminator moves the stack pointer before it reads its operands
            depth = (depths.empty() ? 0 : depths[i]) + (is_terminator(insn.op) ? insn.adjust : 0);
            for_each_operand(insn, use);
            if (!compiled_past(insn)) break;
        }
    }
    std::stable_sort(counts.begin(), counts.end(), [](const count& x, const count& y) { return x.uses > y.uses; });
    bool any_cell = false;
    for (std::size_t i = 0; i < counts.size() && i < registers; ++i) {
        region.in_registers.push_back(counts[i].variable);
        any_cell = any_cell || counts[i].variable.kind == ir_kind::slot;
    }
    if (any_cell) region.depths = std::move(depths);
    return region;
}
