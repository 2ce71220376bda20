// The user word index, the native table and the cache slots.
#include <algorithm>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

namespace {

std::string word_at(const char* p)
{
    std::string word;
    while (is_word_char(*p)) word += *p++;
    return word;
}

// The 33 native words with their handlers, written out by hand
// so that a missing, misspelt or miswired row shows.
struct named_handler { const char* name; native_handler handler; };
const named_handler every_native_word[] = {
    {"+", nw_add},        {".", nw_print},          {"*", nw_mul},          {"/", nw_div},
    {"%", nw_mod},        {"dup", nw_dup},          {"-", nw_sub},          {"swap", nw_swap},
    {"over", nw_over},    {"rot", nw_rot},          {"drop", nw_drop},      {"\\n", nw_newline},
    {"chr.", nw_print_chr}, {"spc", nw_spc},        {"str.", nw_print_str}, {"loop", nw_loop},
    {"if", nw_if},        {"go_down", nw_goto_down}, {"go_up", nw_goto_up}, {"0=", nw_zero_eq},
    {"=", nw_eq},         {"<>", nw_ne},            {"<", nw_lt},           {">", nw_gt},
    {"not", nw_not},      {"and", nw_and},          {"or", nw_or},          {"/*", nw_comment},
    {"@", nw_get},        {"!", nw_set},            {"on_goto", nw_on_goto}, {"varsion", nw_version},
    {"wday", nw_wday},
};

TEST(WordHash, KeepsBitZeroOfTheFirstByteAndXorsTheSecond)
{
    struct hash_case { const char* word; unsigned slot; };
    for (const hash_case& c : {hash_case{"+", 32},  // 0x2b is odd: bit 5 alone
                               {"*", 0},            // 0x2a is even
                               {"ab", 2},           // 0x20 ^ 0x62 = 0x42
                               {"b a", 0},          // a space is not combined
                               {"a\t", 32},
                               {"\x83\x41", 33},    // 0x20 ^ 0x41
                               {"a\xc1", 33},       // 0x20 ^ 0xffc1, low six bits 0x21
                               {"\x82\xa0", 32},    // 0x00 ^ 0xffa0, low six bits 0x20
                               {"+\x01", 33}}) {    // a control byte is a word character
        SCOPED_TRACE(testing::PrintToString(c.word));
        EXPECT_EQ(word_hash(c.word), c.slot);
    }
}

TEST(UserWordIndex, IndexesEveryMarkerAndSortsTheNames)
{
    std::string text = ": main ; :: x ; /* : hidden ; */ \": quoted\" : dup 1 ;";
    for (int i = 0; i < 25; ++i) text += " : w" + std::to_string(i) + " ;";
    forth_vm vm = forth_vm_create(100, 10, text.c_str());
    std::vector<std::string> names;
    for (const char* w : vm.words) names.push_back(word_at(w));
    EXPECT_EQ(names.size(), 28u);  // main, hidden, dup and w0 to w24; '::' and the string are none
    EXPECT_TRUE(std::is_sorted(vm.words.begin(), vm.words.end(),
                               [](const char* a, const char* b) { return word_compare(a, b) < 0; }));
    for (const char* name : {"main", "hidden", "dup", "w0", "w9", "w10", "w24"}) {
        SCOPED_TRACE(name);
        const char* found = find_user_word(vm, name);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(word_at(found), name);
        EXPECT_EQ(find_user_word(vm, name), found);  // again, from the cache
    }
    EXPECT_EQ(find_user_word(vm, "x"), nullptr);
    EXPECT_EQ(find_user_word(vm, "quoted"), nullptr);
    forth_vm_destroy(vm);
}

TEST(UserWordIndex, TenDefinitionsAreAllFound)
{
    std::string text;
    std::vector<std::size_t> name_offsets;
    for (char digit = '0'; digit <= '9'; ++digit) {
        text += ": d";
        name_offsets.push_back(text.size() - 1);
        text += {digit, ' ', digit, ' ', ';', '\n'};
    }
    forth_vm vm = forth_vm_create(100, 10, text.c_str());
    EXPECT_EQ(vm.words.size(), 10u);
    for (const std::size_t offset : name_offsets) {
        const std::string name = word_at(text.c_str() + offset);
        SCOPED_TRACE(name);
        EXPECT_EQ(find_user_word(vm, name.c_str()), text.c_str() + offset);
    }
    EXPECT_EQ(find_user_word(vm, "d10"), nullptr);
    EXPECT_EQ(find_user_word(vm, "d"), nullptr);
    forth_vm_destroy(vm);
}

TEST(UserWordIndex, DuplicateNamesAreAllIndexed)
{
    const char* text = ": a 1 ; : b ; : a 2 ;";
    forth_vm vm = forth_vm_create(100, 10, text);
    ASSERT_EQ(vm.words.size(), 3u);
    const char* found = find_user_word(vm, "a");
    EXPECT_TRUE(found == text + 2 || found == text + 16);  // either definition
    EXPECT_EQ(find_user_word(vm, "b"), text + 10);
    forth_vm_destroy(vm);
}

TEST(UserWordIndex, WordsSharingACacheSlotStayApart)
{
    const char* text = ": ab ; : cb ; : a ;";  // "ab" and "cb" both hash to slot 2
    forth_vm vm = forth_vm_create(100, 10, text);
    ASSERT_EQ(word_hash("ab"), word_hash("cb"));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(find_user_word(vm, "ab"), text + 2);
        EXPECT_EQ(find_user_word(vm, "cb"), text + 9);
        EXPECT_EQ(find_user_word(vm, "eb"), nullptr);
        EXPECT_EQ(find_user_word(vm, "a"), text + 16);
    }
    forth_vm_destroy(vm);
}

TEST(UserWordIndex, RebuildingKeepsTheCurrentPosition)
{
    const char* text = ": main x ; : y ;";
    forth_vm vm = forth_vm_create(100, 10, text);
    EXPECT_EQ(vm.current, text);
    vm.current = text + 7;
    create_word_suffix_array(vm);
    EXPECT_EQ(vm.current, text + 7);
    EXPECT_EQ(vm.words.size(), 2u);
    forth_vm_destroy(vm);
}

TEST(UserWordIndex, ColonAsTheLastTokenIsReportedAndTheRestKept)
{
    const char* text = ": main 1 ; :";
    testing::internal::CaptureStderr();
    forth_vm vm = forth_vm_create(100, 10, text);
    // " : の後にワード名が書かれていません。文法違反です。" (no word name after ':')
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[fail]\t../quokkavm:112 (create_word_suffix_array();)\n\t"
              "\x20\x3a\x20\x82\xcc\x8c\xe3\x82\xc9\x83\x8f\x81\x5b\x83\x68\x96\xbc\x82\xaa"
              "\x8f\x91\x82\xa9\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42\x95\xb6"
              "\x96\x40\x88\xe1\x94\xbd\x82\xc5\x82\xb7\x81\x42\n");
    EXPECT_EQ(find_user_word(vm, "main"), text + 2);
    forth_vm_destroy(vm);
}

TEST(UserWordIndex, EmptyWithoutMarkers)
{
    forth_vm vm = forth_vm_create(100, 10, "main 1 2 +");
    EXPECT_TRUE(vm.words.empty());
    EXPECT_EQ(find_user_word(vm, "main"), nullptr);
    EXPECT_EQ(forth_vm_run_word(vm, "main"), 0);
    forth_vm_destroy(vm);
}

TEST(NativeTable, EveryNameIsFoundWhateverTheStoredOrder)
{
    std::vector<native_word> table(native_table.begin(), native_table.end());
    std::shuffle(table.begin(), table.end(), std::mt19937{7});
    std::sort(table.begin(), table.end(), native_entry_compare);
    for (const native_word& entry : native_table) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(find_native(table, entry.name), entry.handler);
        const std::string followed = std::string(entry.name) + " next";
        EXPECT_EQ(find_native(table, followed.c_str()), entry.handler);
    }
    for (const char* unknown : {"/**", "<>>", "..", "dupe", "du", "main", "\\"}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(find_native(table, unknown), nullptr);
    }
}

TEST(NativeTable, EveryWordIsFoundAfterCreation)
{
    forth_vm vm = forth_vm_create(100, 10, "some text");
    ASSERT_EQ(std::size(every_native_word), native_count);
    EXPECT_TRUE(std::is_sorted(native_table.begin(), native_table.end(), native_entry_compare));
    for (const named_handler& word : every_native_word) {
        SCOPED_TRACE(word.name);
        EXPECT_EQ(find_native(native_table, word.name), word.handler);
        EXPECT_EQ(find_native(native_table, word.name), word.handler);  // again, from the cache
    }
    forth_vm_destroy(vm);
}

TEST(NativeTable, FoundInAShuffledCopyOnceSorted)
{
    for (unsigned seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE(seed);
        std::vector<native_word> copy(native_table.begin(), native_table.end());
        std::shuffle(copy.begin(), copy.end(), std::mt19937{seed});
        std::sort(copy.begin(), copy.end(), native_entry_compare);
        const std::span<const native_word> table{copy};
        for (const named_handler& word : every_native_word) {
            SCOPED_TRACE(word.name);
            EXPECT_EQ(find_native(table, word.name), word.handler);
        }
    }
}

TEST(NativeTable, PrefixesAreDistinguished)
{
    forth_vm vm = forth_vm_create(100, 10, "");
    EXPECT_EQ(find_native(native_table, "/"), nw_div);
    EXPECT_EQ(find_native(native_table, "/*"), nw_comment);
    EXPECT_EQ(find_native(native_table, "<"), nw_lt);
    EXPECT_EQ(find_native(native_table, "<>"), nw_ne);
    EXPECT_EQ(find_native(native_table, "\\n"), nw_newline);
    EXPECT_EQ(find_native(native_table, "0="), nw_zero_eq);
    EXPECT_EQ(find_native(native_table, "."), nw_print);
    EXPECT_EQ(find_native(native_table, "str."), nw_print_str);
    EXPECT_EQ(find_native(native_table, "..\n"), nullptr);
    EXPECT_EQ(find_native(native_table, "0"), nullptr);
    forth_vm_destroy(vm);
}

} // namespace
