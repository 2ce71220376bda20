// Machine code: division by constants as multiplications, and whole hot
// runs through the tiers (machine code where this build has it) against the
// text walker, compared by the machine they leave behind.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "machine_state.hpp"
#include "jit/region.hpp"
#include "machine/machine.hpp"
#include "machine/positions.hpp"
#include "machine/reports.hpp"
#include "machine/settings.hpp"
#include "machine/variables.hpp"
#include "run/executor.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"
#include "text/word_index.hpp"
#include "words/native_table.hpp"
#include "words/output.hpp"
#include "run/tiers.hpp"
#include "run/walker.hpp"

namespace {

constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

TEST(DivisorMagic, GivesTheTruncatedQuotientOfEveryDividend)
{
    std::mt19937 random(20261208);
    std::vector<std::int32_t> divisors{2, 3, 5, 6, 7, 10, 11, 25, 125, 641, 1000, 1 << 16, 1 << 30, int_max,
                                       -2, -3, -5, -7, -10, -1000, -(1 << 30), int_min + 1, int_min};
    for (int i = 0; i < 200; ++i) {
        const auto d = static_cast<std::int32_t>(random());
        if (d < -1 || d > 1) divisors.push_back(d);
    }
    for (const std::int32_t d : divisors) {
        SCOPED_TRACE(d);
        const divisor_magic m = magic_for(d);
        std::vector<std::int32_t> dividends{0, 1, -1, d, wrap_sub(0, d), int_min, int_max, int_min + 1, int_max - 1};
        for (const std::int32_t k : {1, 2, 3, 1000})
            for (const std::int32_t near : {-1, 0, 1}) {
                dividends.push_back(static_cast<std::int32_t>(static_cast<std::int64_t>(d) * k + near));
                dividends.push_back(static_cast<std::int32_t>(-static_cast<std::int64_t>(d) * k + near));
            }
        for (int i = 0; i < 2000; ++i) dividends.push_back(static_cast<std::int32_t>(random()));
        for (const std::int32_t n : dividends) ASSERT_EQ(quotient_by_magic(n, m), truncated_quotient(n, d)) << n;
    }
}

// Runs "main" of text from its start on the walker alone, or through the
// tiers (with their translation and machine code), and gives what is left.
machine_state run(const std::string& text, bool tiered)
{
    forth_vm vm = forth_vm_create(100, 10, text.c_str());
    vm.depth = 0;
    vm.current = next_token(find_user_word(vm, "main"));
    if (tiered)
        run_tiered(vm);
    else
        walk_text(vm);
    const machine_state state = state_of(vm, 6);
    forth_vm_destroy(vm);
    return state;
}

TEST(TieredRun, LeavesTheMachineAsTheWalkerDoes)
{
    const std::string words =
        ": sq dup * ; : inc $x ! $x @ 1 + ; : bump $A @ 1 + $A ! ;\n"
        ": fib dup 2 < if @@r ; @r dup 1 - fib swap 2 - fib + ;\n"
        ": pick 2 2 on_goto @@a @@b @a 1 ; @b 2 ;\n";
    for (const char* body : {
             // counted loops on locals, globals and the stack
             "0 $a ! 3000 $b ! @t $a @ 7 + $a ! $b @ 1 - dup $b ! loop @@t $a @",
             "0 $A ! 0 $B ! @t $A @ $B @ + $A ! $B @ 1 + dup $B ! 2000 < loop @@t",
             "0 2500 $b ! @t 3 + $b @ 1 - $b ! $b @ loop @@t",
             // division and remainder by constants, of every sign, carried from pass to pass
             "1 $a ! 0 $i ! @t $a @ 7919 * 12345 + $a ! $a @ 1000 % $a @ -7 / + $a @ 641 % + $A ! "
             "$a @ -2147483648 / $a @ 65536 % + $B ! $i @ 1 + dup $i ! 3000 < loop @@t",
             // INT_MIN / -1 wraps and INT_MIN % -1 is 0, by a variable and by a constant
             "-2147483648 $c ! -1 $d ! 0 $i ! @t $c @ $d @ / $A @ + $A ! $c @ $d @ % $B @ + $B ! "
             "$c @ -1 / $C @ + $C ! $c @ -1 % 1 + $D @ + $D ! $i @ 1 + dup $i ! 50 < loop @@t",
             // a division by zero reports and gives 0, pass after pass
             "0 $i ! @t $i @ $i @ 3 % / $A @ + $A ! $i @ 1 + dup $i ! 40 < loop @@t",
             // nested loops, and a loop left from its middle
             "0 $i ! @o 0 $j ! @n $i @ $j @ * $A @ + $A ! $j @ 1 + dup $j ! 30 < loop @@n "
             "$i @ 1 + dup $i ! 30 < loop @@o",
             "0 $i ! @t $i @ 777 = if @@go go_down @@out @go $i @ 1 + $i ! go_up @@t @out $i @",
             // calls in loops: inlined, real, recursive, and into the walker
             "0 $i ! @t $i @ sq inc $A @ + $A ! bump $i @ 1 + dup $i ! 500 < loop @@t",
             "0 $i ! @t $i @ 15 % fib $A @ + $A ! $i @ 1 + dup $i ! 300 < loop @@t",
             "0 $i ! @t pick $A @ + $A ! $i @ 1 + dup $i ! 300 < loop @@t",
             // computed variable numbers, and cells whose tags come from strings
             "0 $i ! @t $i @ dup 7 % 1 + ! $i @ 7 % 1 + @ $A @ + $A ! $i @ 1 + dup $i ! 500 < loop @@t",
             "\"ab\" 0 $i ! @t 1 + $i @ 1 + dup $i ! 1000 < loop @@t \"cd\" swap over rot",
             // cells carried on the stack, their tags with them, changing places each pass
             "\"ab\" 0 900 @t swap 1 + swap 1 - dup loop @@t",
             "\"ab\" 7 500 @t rot rot swap rot 1 - dup loop @@t",
             "\"ab\" 7 501 @t rot rot swap rot 1 - dup loop @@t",
             "\"ab\" 7 600 @t rot 3 + rot rot 1 - dup 300 = if @@k \"cd\" rot drop swap @k dup loop @@t",
             // a stack that grows in a hot loop, and one that runs dry
             "0 $i ! @t $i @ $i @ 1 + dup $i ! 2000 < loop @@t",
         }) {
        SCOPED_TRACE(body);
        const std::string text = words + ": main " + body + " ;";
        EXPECT_EQ(run(text, true), run(text, false));
    }
}

TEST(TieredRun, ReachesCellsFarFromTheStackPointer)
{
    // Forty cells pushed a pass, then summed forty a pass: cells farther from
    // the stack pointer than the offsets some machines' loads and stores hold.
    std::string text = ": main 0 $i ! @p";
    for (int k = 0; k < 40; ++k) text += " $i @ " + std::to_string(k * 1000) + " +";
    text += " $i @ 1 + dup $i ! 50 < loop @@p 0 $j ! @s";
    for (int k = 0; k < 39; ++k) text += " +";
    text += " $A @ + $A ! $j @ 1 + dup $j ! 50 < loop @@s $A @ ;";
    const machine_state walked = run(text, false);
    ASSERT_EQ(walked.stack.size(), 1u);
    EXPECT_EQ(walked.stack.back().value, 40 * (49 * 50 / 2) + 50 * (39 * 40 / 2) * 1000);
    EXPECT_EQ(run(text, true), walked);
}

// The stack cells among the variables the region at the label "t" keeps in
// registers, once the loop there has run hot, from the top down; each as
// "sP" (P counted from the stack pointer at the loop's head), "w" after it
// where it is written.
std::string cells_in_registers(const std::string& text)
{
    forth_vm vm = forth_vm_create(100, 10, text.c_str());
    vm.depth = 0;
    vm.current = next_token(find_user_word(vm, "main"));
    run_tiered(vm);
    std::string cells = "none";
    const auto spot = vm.tiers->spots.find(next_token(text.c_str() + text.find(" @t ") + 1));
    if (spot != vm.tiers->spots.end() && spot->second.block) {
        std::vector<region_variable> found;
        for (const region_variable& v : form_region(*spot->second.block, 7).in_registers)
            if (v.kind == ir_kind::slot) found.push_back(v);
        std::sort(found.begin(), found.end(), [](const auto& x, const auto& y) { return x.index > y.index; });
        cells.clear();
        for (const region_variable& v : found) cells += " s" + std::to_string(v.index) + (v.written ? "w" : "");
    }
    forth_vm_destroy(vm);
    return cells;
}

TEST(Region, KeepsTheCellsALoopCarriesInRegisters)
{
    const std::string w = ": w 0 if @@x @x 1 + ;\n";
    // a counter and an accumulator on the stack; one only read
    EXPECT_EQ(cells_in_registers(w + ": main 0 900 @t swap 1 + swap 1 - dup loop @@t ;"), " s-1w s-2w");
    EXPECT_EQ(cells_in_registers(w + ": main 5 900 $n ! @t dup $n @ + $a ! $n @ 1 - dup $n ! loop @@t ;"), " s-1");
    // two blocks a pass, the second at the same depth
    EXPECT_EQ(cells_in_registers(w + ": main 0 900 @t swap 1 + swap @m 1 - dup loop @@t ;"), " s-1w s-2w");
    // a stack a cell higher each pass, and a call whose body may move it: none
    EXPECT_EQ(cells_in_registers(w + ": main 0 $i ! @t $i @ $i @ 1 + dup $i ! 900 < loop @@t ;"), "");
    EXPECT_EQ(cells_in_registers(w + ": main 0 900 @t swap w swap 1 - dup loop @@t ;"), "");
}

TEST(TieredRun, CodeStaysWithinItsBound)
{
    // Two thousand loops, each hot: all translated, most compiled, within the
    // bounds that the text they run sets.
    std::string text = ": main";
    for (int i = 0; i < 2000; ++i)
        text += " 10 $i ! @l" + std::to_string(i) + " $a @ " + std::to_string(i) + " + $a ! $i @ 1 - dup $i ! loop @@l" +
                std::to_string(i);
    text += " ;";
    forth_vm vm = forth_vm_create(100, 10, text.c_str());
    vm.depth = 0;
    vm.current = next_token(find_user_word(vm, "main"));
    run_tiered(vm);
    const tier_state& tiers = *vm.tiers;
    EXPECT_GT(tiers.hot_text_bytes, 0u);
    EXPECT_LE(tiers.code_bytes, translated_code_bound(tiers.hot_text_bytes));
    if (tiers.jit) {
        EXPECT_GT(machine_code_bytes(*tiers.jit), 0u);
        EXPECT_LE(machine_code_bytes(*tiers.jit), machine_code_bound(tiers.hot_text_bytes));
    }
    forth_vm_destroy(vm);
}

}  // namespace
