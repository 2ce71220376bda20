// Word characters, the forward and backward token steps and the word order.
#include <algorithm>
#include <cstddef>
#include <random>
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

// The offsets of every token the forward step visits, from the first.
std::vector<long> forward_tokens(const char* text)
{
    std::vector<long> offsets;
    for (const char* p = is_word_char(*text) ? text : next_token(text); p != nullptr; p = next_token(p))
        offsets.push_back(p - text);
    return offsets;
}

// The offsets the backward step visits from the end of the text.
std::vector<long> backward_tokens(const char* text)
{
    std::vector<long> offsets;
    for (const char* p = prev_token(text, text + std::char_traits<char>::length(text)); p != nullptr;
         p = prev_token(text, p))
        offsets.push_back(p - text);
    std::reverse(offsets.begin(), offsets.end());
    return offsets;
}

TEST(WordChar, OnlyNulAndTheSixSpacesAreNotWordCharacters)
{
    for (int b = 0; b < 256; ++b) {
        const bool space = b == 0 || (b >= 9 && b <= 13) || b == ' ';
        EXPECT_EQ(is_word_char(static_cast<char>(b)), !space) << b;
    }
}

TEST(NextToken, FollowsTheStringLiteralStates)
{
    struct step_case { const char* text; std::vector<long> tokens; };
    const step_case cases[] = {
        {": main 1 2 ;", {0, 2, 7, 9, 11}},
        {"\"ab\"cd ef", {0, 7}},          // closed without white space: one plain token
        {"\"a b\"c d", {0, 5, 7}},        // closed after white space: c starts a token
        {"\"a \" x", {0, 5}},             // a quote right after white space closes it
        {"\"a \"x y", {0, 4, 6}},          // ... and what follows it directly is a new token
        {"ab\"cd ef", {0, 6}},            // a quote inside a plain token starts nothing
        {"x \"a b\" y", {0, 2, 8}},
        {"\"\" x", {0, 3}},               // the empty literal
        {"a + b", {0, 2, 4}},
        {"  \t\n lead", {5}},             // from white space: the first token after it
        {"x \"open and on", {0, 2}},      // an unterminated literal runs to the end
        {"", {}},
    };
    for (const step_case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(forward_tokens(c.text), c.tokens);
    }
}

TEST(NextToken, NoneFromTheLastTokenOrTheEnd)
{
    const char* text = "a bc";
    EXPECT_EQ(next_token(text + 2), nullptr);
    EXPECT_EQ(next_token(text + 4), nullptr);
}

TEST(PrevToken, VisitsWhatTheForwardStepVisits)
{
    for (const char* text : {": main 1 2 ;", "x \"a b\" y", "a + b", "\"\" x \"\"", "one\ttwo\nthree"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(backward_tokens(text), forward_tokens(text));
    }
}

TEST(PrevToken, StepsBackOverAStringLiteral)
{
    const char* text = "x \"a b\" y";
    EXPECT_EQ(prev_token(text, text + 8), text + 2);  // from y: the opening quote
    EXPECT_EQ(prev_token(text, text + 2), text);
    EXPECT_EQ(prev_token(text, text), nullptr);
    EXPECT_EQ(prev_token(text, text + 8 + 1), text + 8);  // from the end of the text
    const char* spaced = "  \n x";
    EXPECT_EQ(prev_token(spaced, spaced + 4), nullptr);  // only white space before
}

TEST(PrevToken, TheTwoBackwardExceptions)
{
    // A plain token that ends in a quote is taken for a string literal's end:
    // its start is the nearest quote before, here none, so the walk stops.
    EXPECT_EQ(backward_tokens("x ab\""), std::vector<long>{});
    EXPECT_EQ(backward_tokens("\"q x ab\""), (std::vector<long>{0}));
    // The c glued to the closing quote of '"a b"' goes with the string's last word.
    EXPECT_EQ(forward_tokens("\"a b\"c"), (std::vector<long>{0, 5}));
    EXPECT_EQ(backward_tokens("\"a b\"c"), (std::vector<long>{0, 3}));
}

TEST(PrevToken, FromInsideATokenReturnsItsStart)
{
    const char* text = "go_up @@top";
    EXPECT_EQ(prev_token(text, text + 7), text + 6);  // from the label inside the reference
    EXPECT_EQ(prev_token(text, text), nullptr);
    EXPECT_EQ(prev_token(text, text + 3), text);
}

// Reading backward cannot tell apart what the forward step tells apart in two
// cases, so on any text the backward step from a token returns the token the
// forward step visited before it unless one of these holds for that token:
//  - it ends in a quote but is not one quoted run (a quote, bytes without a
//    quote, a quote), as 'ab"' or '"a"b"': the last quote is taken for the
//    closing quote of a literal and the step goes to the quote before it;
//  - it does not end in a quote and directly follows the closing quote of a
//    literal with white space, as the c in '"a b"c': it is read together with
//    the literal's last word.
TEST(PrevToken, UndoesTheForwardStepExceptInTheTwoCases)
{
    std::mt19937 random{20240229};
    constexpr char alphabet[] = {'a', 'b', ' ', '\n', '"'};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 1);
    std::uniform_int_distribution<std::size_t> length(0, 24);
    int checked = 0, quote_ended = 0, glued = 0;
    for (int n = 0; n < 20000; ++n) {
        std::string text;
        for (std::size_t i = length(random); i > 0; --i) text += alphabet[pick(random)];
        SCOPED_TRACE(text);
        const char* start = text.c_str();
        const std::vector<long> tokens = forward_tokens(start);
        if (!tokens.empty()) {
            EXPECT_EQ(prev_token(start, start + tokens[0]), nullptr);
        }
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            const char* before = start + tokens[i - 1];
            const char* last = start + tokens[i] - 1;  // the last byte of the token before
            while (!is_word_char(*last)) --last;
            const bool quoted_run = before[0] == '"' && last > before && std::find(before + 1, last, '"') == last;
            const bool ends_in_quote = *last == '"' && !quoted_run;
            const bool follows_quote = *last != '"' && before > start && is_word_char(before[-1]);
            quote_ended += ends_in_quote;
            glued += follows_quote;
            ++checked;
            EXPECT_EQ(prev_token(start, start + tokens[i]) == before, !ends_in_quote && !follows_quote)
                << "token " << i;
        }
    }
    // both exceptions occur, and most pairs are ordinary
    EXPECT_GT(quote_ended, 0);
    EXPECT_GT(glued, 0);
    EXPECT_GT(checked, 4 * (quote_ended + glued));
}

TEST(WordCompare, EqualUpToTheEndOfBothWords)
{
    EXPECT_EQ(word_compare("abc def", "abc"), 0);
    EXPECT_EQ(word_compare("abc\n", "abc\0x"), 0);
    EXPECT_EQ(word_compare("@top", "@topx"), -1);  // a proper prefix orders first
    EXPECT_EQ(word_compare("ab", "abc"), -1);
    EXPECT_EQ(word_compare("abc", "ab"), 1);
    EXPECT_EQ(word_compare("b", "a"), -1);         // the greater byte orders first
    EXPECT_EQ(word_compare("a", "b"), 1);
    EXPECT_EQ(word_compare("\x80", "a"), 1);       // bytes above 0x7F are negative
    EXPECT_EQ(word_compare("a", "\xff"), -1);
}

TEST(WordCompare, IsATotalOrder)
{
    std::vector<std::string> words{"a", "ab", "abc", "b", "+", "-", "\x83\x41", "\x83", "0=", "/", "/*", "<", "<>", ""};
    std::sort(words.begin(), words.end(),
              [](const std::string& a, const std::string& b) { return word_compare(a.c_str(), b.c_str()) < 0; });
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(word_compare(words[i].c_str(), words[i].c_str()), 0);
        for (std::size_t j = i + 1; j < words.size(); ++j) {
            SCOPED_TRACE(words[i] + " / " + words[j]);
            EXPECT_EQ(word_compare(words[i].c_str(), words[j].c_str()), -1);
            EXPECT_EQ(word_compare(words[j].c_str(), words[i].c_str()), 1);
        }
    }
}

TEST(WordCompare, RandomWordsFormATotalOrder)
{
    std::mt19937 random{11};
    constexpr char alphabet[] = {'a', 'b', '\x7f', '\x80', '\xff', '\x01'};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 1);
    std::uniform_int_distribution<std::size_t> length(0, 3);
    constexpr const char* ends[] = {"", " rest", "\tx", "\n"};
    std::vector<std::string> words;
    for (int n = 0; n < 60; ++n) {
        std::string word;
        for (std::size_t i = length(random); i > 0; --i) word += alphabet[pick(random)];
        words.push_back(word + ends[n % 4]);  // what ends a word does not count
    }
    const auto compare = [](const std::string& a, const std::string& b) { return word_compare(a.c_str(), b.c_str()); };
    const auto bare = [](const std::string& s) { return s.substr(0, s.find_first_of(" \t\n")); };
    for (const std::string& a : words) {
        for (const std::string& b : words) {
            SCOPED_TRACE(testing::PrintToString(a) + " / " + testing::PrintToString(b));
            const int ab = compare(a, b);
            ASSERT_TRUE(ab == -1 || ab == 0 || ab == 1);
            EXPECT_EQ(compare(b, a), -ab);
            EXPECT_EQ(ab == 0, bare(a) == bare(b));
            if (ab > 0) continue;
            for (const std::string& c : words) {
                if (compare(b, c) <= 0) {
                    EXPECT_LE(compare(a, c), 0) << testing::PrintToString(c);
                }
            }
        }
    }
}

} // namespace
