#pragma once
// tiers: the tiered executor. Cold code runs on the text walker; the places
// where hot code starts (reached by a backward jump, a call or an exit of
// translated code) are counted, and at the threshold the run from there is
// translated and run by the IR interpreter. Either tier hands over to the
// other at any token, the machine being exactly as the walker has it there.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "jit/jit.hpp"
#include "machine/machine.hpp"
#include "translate/ir.hpp"
#include "translate/ir_interpreter.hpp"
#include "translate/translator.hpp"

// How many times a place runs on the walker before it is translated is
// settings.hot_threshold (machine/settings.hpp): 4, found by measurement; a
// test program may choose 1 (everything at once) or 0 (never).
// A pass of a loop body counts once more for every this many bytes it spans.
inline constexpr std::size_t bytes_per_pass = 4096;

// The most bytes of translated code there may be for this many bytes of hot
// text: 64 per byte, beyond a fixed allowance; past that, code stays on the
// walker.
constexpr std::size_t translated_code_bound(std::size_t hot_text_bytes) noexcept
{
    return hot_text_bytes * 64 + (std::size_t{1} << 20);
}

// A counted place: how often it ran, and its translation once it has one.
struct hot_spot {
    std::uint32_t count = 0;
    bool refused = false;  // it cannot be translated, or there is no memory for it
    std::unique_ptr<ir_block> block;
};

struct tier_state final : ir_host {
    // Only places that have run are here: the table follows what runs.
    std::unordered_map<const char*, hot_spot> spots;
    translation_memo memo;
    std::size_t code_bytes = 0;      // held by all blocks
    std::size_t hot_text_bytes = 0;  // of the text they translate
    jit_code_ptr jit;                // machine code, where there is any
    bool jit_tried = false;          // whether executable memory was asked for
    // One bit per byte of the script: a translated block starts there. The
    // walker tests it at every step, so that code it reaches on its way
    // (after a side exit, most often) goes back to the translated tier at
    // the first translated block it meets.
    std::vector<std::uint64_t> block_starts;

    bool has_block_at(const forth_vm& vm, const char* p) const noexcept
    {
        const auto offset = static_cast<std::size_t>(p - vm.text);
        return offset / 64 < block_starts.size() && (block_starts[offset / 64] >> (offset % 64) & 1) != 0;
    }

    const ir_insn* follow_exit(forth_vm& vm, ir_exit& exit) override;
    const ir_insn* run_machine_code(machine_code_state& state, const void* code) override;
};

// The code for the run starting at the token p, counting this run of it;
// nullptr while p is not hot (or cannot be translated). A run that hot code
// goes straight on with is hot at once.
// runs: how many runs of a short stretch this one is worth.
ir_block* code_at(forth_vm& vm, tier_state& tiers, const char* p, bool hot = false, std::size_t runs = 1);


// Points exit (and the instruction that jumps by it) at block's way in.
void link_exit(ir_exit& exit, const ir_block& block);

// Runs from vm.current until the word started there ends, as walk_text does.
void run_tiered(forth_vm& vm);
