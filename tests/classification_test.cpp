// What kind of token stands at a position, number syntax, text positions and
// the visible form of a token.
#include <cstdint>
#include <string>
#include <string_view>

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
#include "words/output.hpp"

namespace {

class Classification : public testing::Test {
protected:
    ~Classification() override { forth_vm_destroy(vm); }

    cell classify(const char* token) { return token2string_word(vm, token); }

    forth_vm vm = forth_vm_create(100, 10, "");
};

TEST_F(Classification, NumbersWrapAndWordsThatLookLikeNumbers)
{
    struct number_case { const char* token; std::int32_t value; };
    for (const number_case& c : {number_case{"12", 12}, {"-12", -12}, {"+12", 12}, {"0", 0},
                                 {"2147483648", INT32_MIN}, {"-2147483648", INT32_MIN},
                                 {"4294967297", 1}, {"12 rest", 12}}) {
        SCOPED_TRACE(c.token);
        for (const cell result : {classify(c.token), parse_number(c.token)}) {
            EXPECT_EQ(result.tag, cell_tag::NUMBER);
            EXPECT_EQ(result.value, c.value);
        }
    }
    for (const char* word : {"12a", "1-", "--1", "+-", "+", "-", "-x", "+ 1", "x1", "1\x83"}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(classify(word).tag, cell_tag::UNKNOWN);
        EXPECT_EQ(parse_number(word).tag, cell_tag::UNKNOWN);
    }
    for (const char* other : {"$a", "@1", "x"}) EXPECT_EQ(parse_number(other).tag, cell_tag::UNKNOWN);
}

TEST_F(Classification, VariableNumbers)
{
    struct variable_case { const char* token; std::int32_t value; };
    for (const variable_case& c : {variable_case{"$a", 0}, {"$z", 25}, {"$A", 32}, {"$Z", 57}, {"?a", 64},
                                   {"?z", 89}, {"$abc", 0}, {"?year", 88}}) {
        SCOPED_TRACE(c.token);
        EXPECT_EQ(classify(c.token).tag, cell_tag::NUMBER);
        EXPECT_EQ(classify(c.token).value, c.value);
    }
    for (const char* word : {"$1", "$", "?A", "?", "$ a"}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(classify(word).tag, cell_tag::UNKNOWN);
    }
}

TEST_F(Classification, LabelsAndTheFetchWord)
{
    const char* text = "@ @x @@x";
    forth_vm_destroy(vm);
    vm = forth_vm_create(100, 10, text);
    EXPECT_EQ(classify(text).tag, cell_tag::UNKNOWN);
    EXPECT_EQ(classify(text + 2).tag, cell_tag::LABEL);
    EXPECT_EQ(classify(text + 2).value, position_value(vm, text + 3));
    EXPECT_EQ(classify(text + 5).tag, cell_tag::LABEL);
    EXPECT_EQ(classify(text + 5).value, position_value(vm, text + 6));
}

TEST_F(Classification, StringLiteralsArePositions)
{
    const char* text = "\"\" \"a b\" x \"abc\" \"a\"b";
    forth_vm_destroy(vm);
    vm = forth_vm_create(100, 10, text);
    const cell empty = classify(text);
    EXPECT_EQ(empty.tag, cell_tag::STRING);
    EXPECT_EQ(empty.value, 0);
    EXPECT_EQ(position_value(vm, empty_text), 0);
    EXPECT_EQ(position_at(vm, empty.value), empty_text);  // not a position in the script
    EXPECT_EQ(*position_at(vm, empty.value), '\0');
    const cell literal = classify(text + 3);
    EXPECT_EQ(literal.tag, cell_tag::STRING);
    EXPECT_EQ(position_at(vm, literal.value), text + 4);
    const cell abc = classify(text + 11);
    EXPECT_EQ(abc.tag, cell_tag::STRING);
    EXPECT_EQ(abc.value, position_value(vm, text + 12));
    const cell glued = classify(text + 17);  // what follows the closing quote is not looked at
    EXPECT_EQ(glued.tag, cell_tag::STRING);
    EXPECT_EQ(glued.value, position_value(vm, text + 18));
}

TEST_F(Classification, PositionsNumberEveryTextByte)
{
    const char* text = "abc";
    forth_vm_destroy(vm);
    vm = forth_vm_create(100, 10, text);
    EXPECT_EQ(position_value(vm, empty_text), 0);
    EXPECT_EQ(position_value(vm, version_text), 1);
    EXPECT_EQ(position_value(vm, comment_end), 7);
    for (const char* p = constant_texts; p != constant_texts + sizeof constant_texts; ++p) {
        EXPECT_EQ(position_at(vm, position_value(vm, p)), p);
    }
    for (int i = 0; i <= 3; ++i) EXPECT_EQ(position_at(vm, position_value(vm, text + i)), text + i);
    EXPECT_EQ(position_value(vm, text + 1) - position_value(vm, text), 1);
    EXPECT_EQ(position_at(vm, -1), nullptr);
    EXPECT_EQ(position_at(vm, position_value(vm, text + 3) + 1), nullptr);  // past the NUL
    EXPECT_EQ(position_at(vm, INT32_MAX), nullptr);
}

TEST_F(Classification, PrintTokenEscapesUnprintableBytes)
{
    struct print_case { const char* at; const char* shown; };
    for (const print_case& c : {print_case{"foo bar", "foo"}, {"  \tlead", "lead"}, {" \n ", "[NULL]"},
                                 {"a\x83\x41z", "a\\x83Az"}, {"\x01~", "\\x01~"},
                                 {"", "[NULL]"}, {"\x7f\xff\xab", "\\x7f\\xff\\xab"}}) {
        SCOPED_TRACE(c.at);
        testing::internal::CaptureStdout();
        print_token(c.at);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.shown);
    }
    testing::internal::CaptureStdout();
    print_token(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[null pointer]");
}

using ClassificationDeathTest = Classification;

TEST_F(ClassificationDeathTest, UnterminatedStringEndsTheRun)
{
    for (const char* token : {"\"", "\"abc", "\"a b"}) {
        SCOPED_TRACE(token);
        // 文字列の終端がありません。 (the string has no end)
        EXPECT_EXIT(classify(token), testing::ExitedWithCode(1),
                    fatal_report_pattern("[fail]\t../util:306 (token2string_word();)\n\t"
                                         "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x8f\x49\x92\x5b\x82"
                                         "\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42\n"));
    }
}

} // namespace
