#include "run/tiers.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "jit/region.hpp"
#include "machine/settings.hpp"
#include "run/walker.hpp"
#include "text/tokens.hpp"
#include "translate/ir_interpreter.hpp"

namespace {

// Machine code leaving by any exit of block goes to the interpreter until
// the exit's target has machine code.
void give_exits_stub(const jit_code& jit, ir_block& block)
{
    const void* const stub = machine_code_exit_stub(jit);
    for (std::size_t i = 0; i < block.exit_count; ++i)
        if (block.exits[i].machine_code == nullptr) block.exits[i].machine_code = stub;
    if (block.site) {
        if (block.site->callee.machine_code == nullptr) block.site->callee.machine_code = stub;
        if (block.site->resume.machine_code == nullptr) block.site->resume.machine_code = stub;
    }
}

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
    if (tiers.code_bytes + bytes > translated_code_bound(tiers.hot_text_bytes + text_bytes)) return nullptr;
    prepare_block(*block);
    if (tiers.jit) give_exits_stub(*tiers.jit, *block);
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
// closes a loop (it jumps back), enters a word's body, comes back from a
// call, or leaves machine code. The blocks such code goes on to have run by
// then and are linked, so that the region compiled from block takes them in.
bool comes_back(const ir_exit& exit)
{
    if (exit.from == nullptr) return false;
    if (exit.from->in_machine_code) return true;
    const call_site* const site = exit.from->site.get();
    if (site != nullptr && (&exit == &site->callee || &exit == &site->resume)) return true;
    return exit.resume <= exit.from->start;
}

// Links the exits of block, and of the blocks it leads to, whose targets have
// been translated already, though they have not been taken yet: the machine
// code then jumps straight there, and the region takes such blocks in.
void link_translated_exits(tier_state& tiers, ir_block& head)
{
    std::vector<ir_block*> seen{&head};
    const auto link = [&](ir_exit& exit) {
        if (exit.linked == nullptr && exit.resume != nullptr) {
            const auto found = tiers.spots.find(exit.resume);
            if (found == tiers.spots.end() || !found->second.block) return;
            ir_block& block = *found->second.block;
            block.incoming.push_back(&exit);
            exit.linked = &block;
            exit.past_check = proves_check(exit, block);
            link_exit(exit, block);
        }
    };
    for (std::size_t next = 0; next < seen.size() && seen.size() < max_region_blocks; ++next) {
        ir_block& block = *seen[next];
        for (std::size_t i = 0; i < block.exit_count; ++i) {
            link(block.exits[i]);
            ir_block* const to = const_cast<ir_block*>(block.exits[i].linked);
            if (to != nullptr && std::find(seen.begin(), seen.end(), to) == seen.end()) seen.push_back(to);
        }
        if (block.site) {
            link(block.site->callee);
            link(block.site->resume);
        }
    }
}

bool make_jit_code_once(tier_state& tiers)
{
    if (!tiers.jit_tried) {
        tiers.jit_tried = true;
        if (!settings.machine_code) return false;
        try {
            tiers.jit = make_jit_code();
        } catch (const std::bad_alloc&) {
        }
        if (tiers.jit)
            for (auto& [position, spot] : tiers.spots)
                if (spot.block) give_exits_stub(*tiers.jit, *spot.block);
    }
    return tiers.jit != nullptr;
}

// Compiles the region headed by head (again, when it has machine code
// already: the new code takes the ways in); where it cannot, the IR tier
// keeps it. A run that the region goes straight on with is as hot as the region: where the
// bound on a region's size left it out, it is compiled as a region too.
void compile_head(tier_state& tiers, ir_block& first_head)
{
    std::vector<ir_block*> heads{&first_head};
    while (!heads.empty()) {
        ir_block& head = *heads.back();
        heads.pop_back();
        std::vector<ir_block*> blocks;
        try {
            link_translated_exits(tiers, head);
            blocks = compile_region(*tiers.jit, head, tiers.hot_text_bytes);
        } catch (const std::bad_alloc&) {
        }
        if (blocks.empty()) continue;  // the IR tier keeps it
        prepare_insn(const_cast<ir_insn&>(*head.machine_entry));
        prepare_insn(const_cast<ir_insn&>(*head.machine_body));
        for (ir_exit* way_in : head.incoming) link_exit(*way_in, head);
        for (const ir_block* block : blocks)
            for (std::size_t i = 0; i < block->exit_count; ++i) {
                const ir_exit& exit = block->exits[i];
                if (exit.straight && exit.linked != nullptr && !exit.linked->in_machine_code)
                    heads.push_back(const_cast<ir_block*>(exit.linked));
            }
    }
}

// A region is compiled again at most this often as blocks it leads to turn
// hot, so that it takes them in: its first compilation often comes before
// the code it goes on to has run.
constexpr std::uint8_t max_recompilations = 4;

void compile_when_hot(tier_state& tiers, const ir_exit& exit, ir_block& block)
{
    if (!comes_back(exit) || !make_jit_code_once(tiers)) return;
    if (block.machine_entry != nullptr) return;
    // The region the exit leaves takes the block in; and the block gets a
    // way in of its own, for every other piece of machine code that leads
    // there.
    ir_block* const head = exit.from->region_head;
    if (exit.from->in_machine_code && head != nullptr && head != &block && head->recompiled < max_recompilations) {
        ++head->recompiled;
        compile_head(tiers, *head);
    }
    compile_head(tiers, block);
}

// A block that a region's machine code holds, though it heads none, has no
// way in of its own: machine code that jumps there from elsewhere (an exit of
// another region, or of another region's copy of a block that leads there)
// leaves for the interpreter. Once that has happened often enough to pay for
// compiling one more region, the block heads its own; where that fails, it
// is tried again only a few times.
constexpr std::uint32_t exits_before_way_in = 128;

void give_way_in(tier_state& tiers, const ir_exit& left_by)
{
    auto* const to = const_cast<ir_block*>(left_by.linked);
    if (to == nullptr || !to->in_machine_code || to->machine_entry != nullptr) return;
    if (to->recompiled >= max_recompilations || ++to->left_for_interpreter < exits_before_way_in) return;
    to->left_for_interpreter = 0;
    ++to->recompiled;
    // The region that left takes the block in, so that it jumps there
    // itself; the block's own region serves every other way there.
    ir_block* const from = left_by.from != nullptr ? left_by.from->region_head : nullptr;
    if (from != nullptr && from != to && from->recompiled < max_recompilations) {
        ++from->recompiled;
        compile_head(tiers, *from);
    }
    compile_head(tiers, *to);
}

void note_block_start(const forth_vm& vm, tier_state& tiers, const char* p)
{
    if (tiers.block_starts.empty())
        tiers.block_starts.assign(static_cast<std::size_t>(vm.text_end - vm.text) / 64 + 1, 0);
    const auto offset = static_cast<std::size_t>(p - vm.text);
    tiers.block_starts[offset / 64] |= std::uint64_t{1} << (offset % 64);
}

}  // namespace

ir_block* code_at(forth_vm& vm, tier_state& tiers, const char* p, bool hot, std::size_t runs)
{
    const std::uint32_t hot_threshold = settings.hot_threshold;
    if (p == nullptr || hot_threshold == 0) return nullptr;
    try {
        hot_spot& spot = tiers.spots[p];
        if (spot.block) return spot.block.get();
        if (spot.refused) return nullptr;
        spot.count = static_cast<std::uint32_t>(std::min<std::size_t>(spot.count + runs, hot_threshold));
        if (spot.count < hot_threshold && !hot) return nullptr;
        spot.block = translate_within_bounds(vm, tiers, p);
        spot.refused = !spot.block;
        if (spot.block) note_block_start(vm, tiers, p);
        return spot.block.get();
    } catch (const std::bad_alloc&) {
        return nullptr;  // without memory for the table or the code, the walker goes on
    }
}

void link_exit(ir_exit& exit, const ir_block& block)
{
    exit.target = block.entry(exit.past_check);
    if (exit.jump != nullptr) *exit.jump = exit.target;
    if (const void* const code = block.machine_code(exit.past_check)) exit.machine_code = code;
}

// Where exit goes: the code at its resume token, linked into the exit once
// found, or nullptr when the walker goes on there.
const ir_insn* tier_state::follow_exit(forth_vm& vm, ir_exit& exit)
{
    tier_state& tiers = *this;
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
    bool from_translated_code = false;  // the walker goes on where translated code handed back

    const char* enter(forth_vm& vm, const char* next, std::size_t base)
    {
        from_translated_code = false;  // a place counted of its own
        const ir_block* const block = code_at(vm, tiers, next);
        return block != nullptr ? run(vm, block->entry(false), base) : next;
    }

    const char* at_start(forth_vm& vm, const char* next, std::size_t base) { return enter(vm, next, base); }
    const char* after_call(forth_vm& vm, const char* next, std::size_t base) { return enter(vm, next, base); }
    // A loop counts its passes by the bytes each one walks: a long body is
    // worth translating sooner than a short one.
    const char* after_backward_jump(forth_vm& vm, const char* next, const char* from, std::size_t base)
    {
        from_translated_code = false;
        const auto bytes = static_cast<std::size_t>(from - next);
        const ir_block* const block = code_at(vm, tiers, next, false, 1 + bytes / bytes_per_pass);
        return block != nullptr ? run(vm, block->entry(false), base) : next;
    }

    // On the way from token to token, a translated block met goes on in its
    // code. After translated code has handed the run back, the walker is
    // most likely in the middle of hot code: the places it passes where a
    // block would start (after a label, where a jump lands, past the
    // reference of a jump not taken) count as the places hot code starts,
    // so that the rest of a long loop body turns hot with its head instead
    // of one block a few passes.
    const char* on_the_way(forth_vm& vm, const char* t, const char* next, std::size_t base)
    {
        if (next == nullptr) return next;
        if (tiers.has_block_at(vm, next)) {
            const ir_block* const block = tiers.spots.find(next)->second.block.get();
            return run(vm, block->entry(false), base);
        }
        if (!from_translated_code || (vm.current == t && !is_label(t))) [[likely]] return next;
        const ir_block* const block = code_at(vm, tiers, next);
        return block != nullptr ? run(vm, block->entry(false), base) : next;
    }

    static bool is_label(const char* t) noexcept { return t[0] == '@' && is_word_char(t[1]); }

    // Runs translated code from entry; the walker goes on where it hands back.
    const char* run(forth_vm& vm, const ir_insn* entry, std::size_t base)
    {
        const char* const next = run_ir(vm, tiers, entry, base);
        from_translated_code = true;
        return next;
    }

    // A return to a caller in translated code goes on in its code.
    const char* after_return(forth_vm& vm, const return_entry& back, const char* next, std::size_t base)
    {
        from_translated_code = false;
        return back.resume != nullptr ? run(vm, back.resume->target, base) : next;
    }
};

}  // namespace

const ir_insn* tier_state::run_machine_code(machine_code_state& state, const void* code)
{
    ++counts.machine_code_entries;
    const ir_insn* const next = ::run_machine_code(*jit, state, code);
    if (state.left_by != nullptr) give_way_in(*this, *state.left_by);
    return next;
}

void run_tiered(forth_vm& vm)
{
    if (!vm.tiers) vm.tiers = {new tier_state, {[](tier_state* state) { delete state; }}};
    tier_hooks hooks{*vm.tiers};
    walk_text(vm, hooks);
}
