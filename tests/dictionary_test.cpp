// The user word index, the native table and the cache slots.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nativeword.hpp"
#include "quokkavm.hpp"
#include "util.hpp"

namespace {

std::string word_at(const char* p)
{
    std::string word;
    while (is_word_char(*p)) word += *p++;
    return word;
}

TEST(WordHash, KeepsBitZeroOfTheFirstByteAndXorsTheSecond)
{
    EXPECT_EQ(word_hash("+"), 32u);                              // '+' is odd: bit 5
    EXPECT_EQ(word_hash("*"), 0u);
    EXPECT_EQ(word_hash("ab"), (32u ^ 'b') & 63u);
    EXPECT_EQ(word_hash("b a"), 0u);                             // a space is not combined
    EXPECT_EQ(word_hash("\x83\x41"), (32u ^ 0x41u) & 63u);
    EXPECT_EQ(word_hash("a\xc1"), static_cast<unsigned>(32 ^ static_cast<signed char>('\xc1')) & 63u);
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

TEST(NativeTable, PrefixesAreDistinguished)
{
    forth_vm vm = forth_vm_create(100, 10, "");
    EXPECT_EQ(find_native(native_table, "/"), nw_div);
    EXPECT_EQ(find_native(native_table, "/*"), nw_comment);
    EXPECT_EQ(find_native(native_table, "<"), nw_lt);
    EXPECT_EQ(find_native(native_table, "<>"), nw_ne);
    EXPECT_EQ(find_native(native_table, "\\n"), nw_newline);
    EXPECT_EQ(find_native(native_table, "0="), nw_zero_eq);
    forth_vm_destroy(vm);
}

} // namespace
