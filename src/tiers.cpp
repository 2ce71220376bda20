#include "tiers.hpp"

#include <new>

#include "ir_interpreter.hpp"
#include "walker.hpp"

void tier_state_deleter::operator()(tier_state* state) const noexcept { delete state; }

namespace {

std::size_t bytes_of(const ir_block& block)
{
    std::size_t bytes = sizeof(ir_block) + sizeof(hot_spot) + 4 * sizeof(void*);  // and its table entry
    bytes += block.code.capacity() * sizeof(ir_insn);
    bytes += block.exit_count * sizeof(ir_exit);
    if (block.site) bytes += sizeof(call_site);
    return bytes;
}

// Translates the run at p, unless its code would take more memory than the
// bound allows or there is no memory for it: then the walker keeps it.
std::unique_ptr<ir_block> translate_within_bounds(forth_vm& vm, tier_state& tiers, const char* p)
{
    std::unique_ptr<ir_block> block = translate_block(vm, tiers.memo, p);
    if (!block) return nullptr;
    const std::size_t bytes = bytes_of(*block);
    const auto text_bytes = static_cast<std::size_t>(block->end - block->start);
    const std::size_t allowed =
        (tiers.hot_text_bytes + text_bytes) * code_bytes_per_text_byte + code_bytes_allowance;
    if (tiers.code_bytes + bytes > allowed) return nullptr;
    prepare_block(*block);
    tiers.code_bytes += bytes;
    tiers.hot_text_bytes += text_bytes;
    return block;
}

// Whether what the block that owns exit guaranteed on entry still holds at
// the exit for target: then the exit goes straight past target's check.
bool proves_check(const ir_exit& exit, const ir_block& target)
{
    if (!exit.link_past_check || exit.from == nullptr) return false;
    const ir_block& from = *exit.from;
    return target.need <= from.need + exit.height && target.room <= from.room - exit.height &&
           target.levels + exit.levels <= from.levels;
}

// Whether machine code is due for block now that exit leads to it: exit
// closes a loop (it jumps back), enters a word's body, or comes back from a
// call. The blocks such code goes on to have run by then and are linked,
// so that the region compiled from block takes them in.
bool comes_back(const ir_exit& exit)
{
    if (exit.from == nullptr) return false;
    const call_site* const site = exit.from->site.get();
    if (site != nullptr && (&exit == &site->callee || &exit == &site->resume)) return true;
    return exit.resume <= exit.from->start;
}

void compile_when_hot(tier_state& tiers, const ir_exit& exit, ir_block& block)
{
    if (block.native_entry != nullptr || !comes_back(exit)) return;
    if (!tiers.native_tried) {
        tiers.native_tried = true;
        try {
            tiers.native = make_native_code();
        } catch (const std::bad_alloc&) {
        }
    }
    if (!tiers.native) return;
    try {
        if (!compile_region(*tiers.native, block, tiers.hot_text_bytes)) return;
    } catch (const std::bad_alloc&) {
        return;  // the IR tier keeps it
    }
    prepare_insn(const_cast<ir_insn&>(*block.native_entry));
    prepare_insn(const_cast<ir_insn&>(*block.native_body));
    for (ir_exit* way_in : block.incoming) link_exit(*way_in, block);
}

}  // namespace

ir_block* code_at(forth_vm& vm, tier_state& tiers, const char* p, bool hot)
{
    if (p == nullptr || hot_threshold == 0) return nullptr;
    try {
        hot_spot& spot = tiers.spots[p];
        if (spot.block) return spot.block.get();
        if (spot.refused) return nullptr;
        if (++spot.count < hot_threshold && !hot) return nullptr;
        spot.block = translate_within_bounds(vm, tiers, p);
        spot.refused = !spot.block;
        return spot.block.get();
    } catch (const std::bad_alloc&) {
        return nullptr;  // without memory for the table or the code, the walker goes on
    }
}

void link_exit(ir_exit& exit, const ir_block& block)
{
    exit.target = block.entry(exit.past_check);
    if (exit.jump != nullptr) *exit.jump = exit.target;
}

const ir_insn* follow_exit(forth_vm& vm, tier_state& tiers, ir_exit& exit)
{
    ir_block* const block = code_at(vm, tiers, exit.resume, exit.straight);
    if (block == nullptr) return nullptr;
    try {
        block->incoming.push_back(&exit);
    } catch (const std::bad_alloc&) {
        return nullptr;  // not linked: the walker goes on
    }
    exit.linked = block;
    exit.past_check = proves_check(exit, *block);
    link_exit(exit, *block);
    compile_when_hot(tiers, exit, *block);
    return exit.target;
}

namespace {

// The walker's hooks: at each counted place, the translated code when there
// is some, run until it hands back.
struct tier_hooks {
    tier_state& tiers;

    const char* enter(forth_vm& vm, const char* next, std::size_t base) const
    {
        const ir_block* const block = code_at(vm, tiers, next);
        return block != nullptr ? run_ir(vm, tiers, block->entry(false), base) : next;
    }

    const char* at_start(forth_vm& vm, const char* next, std::size_t base) const { return enter(vm, next, base); }
    const char* after_call(forth_vm& vm, const char* next, std::size_t base) const { return enter(vm, next, base); }
    const char* after_backward_jump(forth_vm& vm, const char* next, std::size_t base) const
    {
        return enter(vm, next, base);
    }

    // A return to a caller in translated code goes on in its code.
    const char* after_return(forth_vm& vm, const return_entry& back, const char* next, std::size_t base) const
    {
        return back.resume != nullptr ? run_ir(vm, tiers, back.resume, base) : next;
    }
};

}  // namespace

void run_tiered(forth_vm& vm)
{
    if (!vm.tiers) vm.tiers.reset(new tier_state);
    tier_hooks hooks{*vm.tiers};
    walk_text(vm, hooks);
}
