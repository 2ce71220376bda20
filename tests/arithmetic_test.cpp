// The data words run through their handlers as the executor calls them:
// wrap-around, truncation, truth values and the tag each result keeps.
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "report_pattern.hpp"

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
#include "words/operations.hpp"
#include "words/output.hpp"

namespace {

constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

struct binary_case { std::int32_t x1, x2, expected; };

// 値スタックがアンダーフローです。 (value stack underflow)
const std::string underflow = fatal_report_pattern(
    "[fail]\t../util:134 (word_pop();)\n\t"
    "\x92\x6c\x83\x58\x83\x5e\x83\x62\x83\x4e\x82\xaa\x83\x41\x83\x93\x83\x5f"
    "\x81\x5b\x83\x74\x83\x8d\x81\x5b\x82\xc5\x82\xb7\x81\x42\n");

class Arithmetic : public testing::Test {
protected:
    ~Arithmetic() override { forth_vm_destroy(vm); }

    // Runs word on x1 x2 for each case and checks the one value it leaves.
    void expect_results(native_handler word, std::initializer_list<binary_case> cases)
    {
        for (const binary_case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.x1 << ' ' << c.x2);
            word_push(vm, cell_tag::NUMBER, c.x1);
            word_push(vm, cell_tag::NUMBER, c.x2);
            word(vm);
            EXPECT_EQ(word_pop(vm).value, c.expected);
            EXPECT_TRUE(vm.stack.empty());
        }
    }

    // The tag of the result of word on a STRING x1 and a NUMBER x2.
    cell_tag result_tag(native_handler word)
    {
        word_push(vm, cell_tag::STRING, 7);
        word_push(vm, cell_tag::NUMBER, 3);
        word(vm);
        return word_pop(vm).tag;
    }

    forth_vm vm = forth_vm_create(100, 10, "");
};

TEST_F(Arithmetic, SumsDifferencesAndProductsWrap)
{
    expect_results(nw_add, {{1, 2, 3}, {int_max, 1, int_min}, {int_min, -1, int_max}});
    expect_results(nw_sub, {{7, 3, 4}, {int_min, 1, int_max}, {0, int_min, int_min}});
    expect_results(nw_mul, {{6, 7, 42}, {65536, 65536, 0}, {int_min, -1, int_min}, {-3, 5, -15}});
}

TEST_F(Arithmetic, DivisionTruncatesTowardZero)
{
    expect_results(nw_div, {{7, 2, 3}, {-7, 2, -3}, {7, -2, -3}, {-7, -2, 3}, {int_min, -1, int_min}});
    expect_results(nw_mod, {{7, 2, 1}, {-7, 2, -1}, {7, -2, 1}, {-7, -2, -1}, {int_min, -1, 0}});
}

// The shifts that stand for division by 2^k give what division gives, at
// the edges of rounding toward zero; other divisors have no exponent.
TEST(PowersOfTwo, ShiftsDivideAsDivisionDoes)
{
    for (int k = 1; k <= 30; ++k) {
        const std::int32_t d = std::int32_t{1} << k;
        ASSERT_EQ(power_of_two_exponent(d), k);
        for (const std::int32_t n : {int_min, int_min + 1, -d - 1, -d, -d + 1, -1, 0, 1, d - 1, d, d + 1, int_max}) {
            SCOPED_TRACE(testing::Message() << n << " by 2^" << k);
            EXPECT_EQ(quotient_by_power_of_two(n, k), truncated_quotient(n, d));
            EXPECT_EQ(remainder_by_power_of_two(n, k), truncated_remainder(n, d));
        }
    }
    for (const std::int32_t d : {int_min, -4, -2, -1, 0, 1, 3, 6, int_max}) EXPECT_EQ(power_of_two_exponent(d), 0) << d;
}

TEST_F(Arithmetic, ZeroDivisorReportsAndGivesZeroWithTheDividendsTag)
{
    // 0割り。 (division by zero); the report is not fatal
    struct zero_case { native_handler word; const char* report; };
    for (const zero_case& c : {zero_case{nw_div, "[fail]\t../nativeword:66 (nw_div();)\n\t0\x8a\x84\x82\xe8\x81\x42\n"},
                               {nw_mod, "[fail]\t../nativeword:79 (nw_mod();)\n\t0\x8a\x84\x82\xe8\x81\x42\n"}}) {
        word_push(vm, cell_tag::STRING, 9);
        word_push(vm, cell_tag::NUMBER, 0);
        testing::internal::CaptureStderr();
        c.word(vm);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.report);
        const cell result = word_pop(vm);
        EXPECT_EQ(result.value, 0);
        EXPECT_EQ(result.tag, cell_tag::STRING);
    }
}

TEST_F(Arithmetic, ComparisonsAndLogicGiveOneOrZero)
{
    expect_results(nw_lt, {{2, 3, 1}, {3, 2, 0}, {-1, 0, 1}, {int_min, int_max, 1}});
    expect_results(nw_gt, {{-1, 0, 0}, {int_max, int_min, 1}});
    expect_results(nw_eq, {{3, 3, 1}, {3, 4, 0}});
    expect_results(nw_ne, {{3, 3, 0}, {3, 4, 1}});
    expect_results(nw_and, {{6, 3, 1}, {6, 0, 0}, {0, 0, 0}});
    expect_results(nw_or, {{0, 0, 0}, {5, 0, 1}, {0, -1, 1}});
}

TEST_F(Arithmetic, EachWordKeepsItsOperandsTag)
{
    for (native_handler word : {nw_add, nw_mul, nw_eq, nw_ne, nw_and, nw_or})
        EXPECT_EQ(result_tag(word), cell_tag::NUMBER);  // the tag of x2
    for (native_handler word : {nw_sub, nw_div, nw_mod, nw_lt, nw_gt})
        EXPECT_EQ(result_tag(word), cell_tag::STRING);  // the tag of x1
    for (native_handler word : {nw_zero_eq, nw_not}) {
        for (const std::int32_t x : {0, 5, -1, int_min}) {
            SCOPED_TRACE(x);
            word_push(vm, cell_tag::STRING, x);
            word(vm);
            const cell result = word_pop(vm);
            EXPECT_EQ(result.tag, cell_tag::STRING);
            EXPECT_EQ(result.value, x == 0 ? 1 : 0);
        }
    }
    word_push(vm, cell_tag::LABEL, 4);
    nw_dup(vm);
    for (int i = 0; i < 2; ++i) {
        const cell copy = word_pop(vm);
        EXPECT_EQ(copy.tag, cell_tag::LABEL);
        EXPECT_EQ(copy.value, 4);
    }
}

TEST_F(Arithmetic, StackWordsMoveWholeCells)
{
    word_push(vm, cell_tag::STRING, 1);
    word_push(vm, cell_tag::NUMBER, 2);
    word_push(vm, cell_tag::LABEL, 3);
    nw_rot(vm);  // ( x1 x2 x3 -- x2 x3 x1 )
    EXPECT_EQ(word_pop(vm).tag, cell_tag::STRING);
    EXPECT_EQ(word_pop(vm).tag, cell_tag::LABEL);
    word_push(vm, cell_tag::STRING, 5);
    nw_over(vm);  // ( x1 x2 -- x1 x2 x1 )
    const cell copy = word_pop(vm);
    EXPECT_EQ(copy.tag, cell_tag::NUMBER);
    EXPECT_EQ(copy.value, 2);
    nw_swap(vm);  // ( x1 x2 -- x2 x1 )
    EXPECT_EQ(word_pop(vm).tag, cell_tag::NUMBER);
    EXPECT_EQ(word_pop(vm).tag, cell_tag::STRING);
    EXPECT_TRUE(vm.stack.empty());
}

TEST_F(Arithmetic, WeekdayOfDates)
{
    struct date_case { std::int32_t y, m, d, expected; };
    for (const date_case& c : {date_case{2000, 1, 1, 6}, {2024, 2, 29, 4}, {1970, 1, 1, 4}, {2000, 3, 1, 3},
                               {2026, 12, 8, 2}, {2000, 13, 1, 1}, {2000, 0, 1, 6}, {1, 1, -100, -2}}) {
        SCOPED_TRACE(testing::Message() << c.y << '-' << c.m << '-' << c.d);
        word_push(vm, cell_tag::STRING, c.y);
        word_push(vm, cell_tag::NUMBER, c.m);
        word_push(vm, cell_tag::NUMBER, c.d);
        nw_wday(vm);
        const cell w = word_pop(vm);
        EXPECT_EQ(w.value, c.expected);
        EXPECT_EQ(w.tag, cell_tag::STRING);  // the year's tag
    }
}

// Each "?r" is three of the C library's rand() draws mixed; a seed gives the
// same sequence every time, and the one rand() gives for it.
TEST(RandomNumbers, ASeedGivesRandsSequence)
{
    constexpr std::int32_t r = 'r' - 'a';
    for (const unsigned seed : {0U, 1U, 12345U}) {
        SCOPED_TRACE(seed);
        std::srand(seed);
        std::vector<std::int32_t> expected;
        for (int i = 0; i < 50; ++i) {
            const auto r1 = static_cast<std::uint32_t>(std::rand());
            const auto r2 = static_cast<std::uint32_t>(std::rand());
            const auto r3 = std::rand();
            expected.push_back(static_cast<std::int32_t>((r1 << 16) ^ r2 ^ static_cast<std::uint32_t>(r3 >> 8)));
        }
        for (int run = 0; run < 2; ++run) {
            seed_random_numbers(seed);
            for (const std::int32_t value : expected) EXPECT_EQ(system_variable(r), value);
        }
    }
}

TEST_F(Arithmetic, ThousandCellsComeBackInOrder)
{
    for (std::int32_t i = 0; i < 1000; ++i) word_push(vm, i % 2 ? cell_tag::NUMBER : cell_tag::STRING, i);
    for (std::int32_t i = 999; i >= 0; --i) {
        const cell c = word_pop(vm);
        EXPECT_EQ(c.value, i);
        EXPECT_EQ(c.tag, i % 2 ? cell_tag::NUMBER : cell_tag::STRING);
    }
}

using ArithmeticDeathTest = Arithmetic;  // *DeathTest suites run first, before any thread

TEST_F(ArithmeticDeathTest, MissingOperandEndsTheRun)
{
    word_push(vm, cell_tag::NUMBER, 1);
    EXPECT_EXIT(nw_sub(vm), testing::ExitedWithCode(1), underflow);
    EXPECT_EXIT(nw_over(vm), testing::ExitedWithCode(1), underflow);
    word_push(vm, cell_tag::NUMBER, 2);
    EXPECT_EXIT(nw_rot(vm), testing::ExitedWithCode(1), underflow);
    EXPECT_EXIT(nw_wday(vm), testing::ExitedWithCode(1), underflow);
}

} // namespace
