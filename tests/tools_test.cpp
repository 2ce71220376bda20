// The checker against the interpreter's own functions and against its
// promises: labels reached by no jump are those no search lands on, one row
// per built-in word, a rule for every code, severities by what runs do.
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "check.hpp"
#include "machine/machine.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"
#include "text/word_index.hpp"
#include "words/native_table.hpp"

namespace {

TEST(CheckerJumps, LabelsReachedAreThoseTheSearchesLandOn)
{
    std::mt19937 random(13);
    const std::vector<std::string> pieces = {"?r @ if @@a", "?r @ if @@b", "?r @ if x@a", "@a", "@b", "@c", "1 drop"};
    for (int round = 0; round < 300; ++round) {
        std::string text = ": main";
        const int length = std::uniform_int_distribution<int>(1, 40)(random);
        for (int i = 0; i < length; ++i)
            text += (random() % 3 == 0 ? "\n" : " ") + pieces[random() % pieces.size()];
        text += " ;\n";
        SCOPED_TRACE(text);
        const program prog = read_program(text.c_str());
        std::set<const char*> landed;
        for (const char* t : prog.tokens) {
            const native_info* info = native_at(prog, t);
            if (info == nullptr || info->handler != nw_if) continue;
            const jump_outcome o = find_jump_down(t);
            if (o.result == jump_outcome::kind::landed) landed.insert(o.label_token);
        }
        std::set<const char*> unreached;
        for (const char* t : prog.tokens)
            if (t[0] == '@' && is_word_char(t[1]) && t[1] != '@' && !landed.contains(t)) unreached.insert(t);
        std::set<const char*> warned;
        for (const finding& f : check_program(prog))
            if (f.message.starts_with("no jump reaches label")) warned.insert(f.where);
        EXPECT_EQ(warned, unreached);
    }
}

// The tools' rows of stack effects cover the interpreter's table, word by word.
TEST(CheckerNatives, OneRowPerNativeWord)
{
    for (const native_word& word : native_table) {
        SCOPED_TRACE(word.name);
        int rows = 0;
        for (const native_info& info : native_infos())
            if (info.handler == word.handler) {
                ++rows;
                EXPECT_EQ(word_compare(info.name, word.name), 0);
            }
        EXPECT_EQ(rows, 1);
    }
}

// Every code a finding can carry has one row in the rules table, with the
// severity it has where every run meets it.
TEST(CheckerCodes, EveryCodeHasOneRule)
{
    const char* const codes[] = {
        check_code::undefined_word, check_code::unterminated_string, check_code::unterminated_comment,
        check_code::label_not_found, check_code::bad_store, check_code::bad_fetch, check_code::underflow,
        check_code::endless_recursion, check_code::too_deep, check_code::overflow, check_code::division_by_zero,
        check_code::bad_reference, check_code::no_reference, check_code::missing_references,
        check_code::on_goto_not_found, check_code::nameless_colon, check_code::duplicate_definition,
        check_code::backward_view, check_code::no_main, check_code::byte_order_mark, check_code::shebang_cr,
        check_code::never_runs, check_code::unreachable, check_code::unused_label};
    std::set<std::string> seen;
    for (const char* code : codes) {
        SCOPED_TRACE(code);
        EXPECT_TRUE(seen.insert(code).second);
        int rows = 0;
        for (const check_rule& r : check_rules()) rows += std::strcmp(r.code, code) == 0;
        EXPECT_EQ(rows, 1);
    }
    EXPECT_EQ(check_rules().size(), seen.size());
    for (const check_rule& r : check_rules()) {
        // The hundreds say the usual severity: 1 ends the run, 2 the run goes on, 3 never runs.
        const severity by_number = r.code[3] == '1' ? severity::error : r.code[3] == '2' ? severity::warning : severity::note;
        EXPECT_EQ(r.level, by_number) << r.code;
    }
}

struct expected_finding {
    const char* code;
    severity level;
};

std::vector<expected_finding> findings_of(const std::string& text)
{
    const program prog = read_program(text.c_str());
    std::vector<expected_finding> out;
    for (const finding& f : check_program(prog)) out.push_back({f.code, f.level});
    return out;
}

bool has(const std::vector<expected_finding>& all, const char* code, severity level)
{
    for (const expected_finding& f : all)
        if (std::strcmp(f.code, code) == 0 && f.level == level) return true;
    return false;
}

// A mistake that every run meets is an error; the same mistake behind a
// branch the clock decides is a warning, and behind a constant that rules it
// out nothing at all.
TEST(CheckerSeverities, ByWhatRunsMeet)
{
    EXPECT_TRUE(has(findings_of(": main foo ;"), check_code::undefined_word, severity::error));
    EXPECT_TRUE(has(findings_of(": main ?y @ 1900 < if @@ok foo @ok ;"), check_code::undefined_word, severity::warning));
    EXPECT_TRUE(findings_of(": main 3 4 > if @@a foo @a 2 . ;").empty());
    EXPECT_TRUE(findings_of(": main 4 3 > 0= if @@a foo @a 2 . ;").empty());
    // Every run fails, one way or the other: both are errors.
    const auto both = findings_of(": main ?r @ if @@a foo @a bar ;");
    EXPECT_EQ(both.size(), 2u);
    EXPECT_TRUE(has(both, check_code::undefined_word, severity::error));
    EXPECT_FALSE(has(both, check_code::undefined_word, severity::warning));
    // Reports the run goes on after.
    EXPECT_TRUE(has(findings_of(": main 1 0 / . ;"), check_code::division_by_zero, severity::warning));
    EXPECT_TRUE(has(findings_of(": main 1 . ; :"), check_code::nameless_colon, severity::warning));
    EXPECT_TRUE(has(findings_of(": main 1 2 3 on_goto @@a ;"), check_code::missing_references, severity::warning));
}

// Recursion, ranges of system variables and code that never runs.
TEST(CheckerSeverities, RecursionRangesAndDeadCode)
{
    EXPECT_TRUE(has(findings_of(": main r ; : r r ;"), check_code::endless_recursion, severity::error));
    EXPECT_TRUE(has(findings_of(": main 70000 r ; : r dup if @@z 1 - r @z ;"), check_code::too_deep, severity::error));
    EXPECT_TRUE(findings_of(": main 100 r drop ; : r dup if @@z 1 - r @z ;").empty());
    EXPECT_TRUE(has(findings_of(": main ?s @ 100 + @ . ;"), check_code::bad_fetch, severity::error));
    EXPECT_TRUE(findings_of(": main ?s @ 32 + @ . ;").empty());
    EXPECT_TRUE(has(findings_of(": main ?r @ 64 % 60 + @ . ;"), check_code::bad_fetch, severity::warning));
    EXPECT_TRUE(has(findings_of(": main 1 . ; : a 1 b ; : b a ;"), check_code::endless_recursion, severity::warning));
    EXPECT_FALSE(has(findings_of(": main 1 . ; : a dup if @@z a @z ;"), check_code::endless_recursion, severity::warning));
    const auto dead = findings_of(": main 1 . ; : spare frob ;");
    EXPECT_TRUE(has(dead, check_code::never_runs, severity::note));
    EXPECT_TRUE(has(dead, check_code::undefined_word, severity::warning));
}

// Past a fatal error the walk goes on: a later error is reported, and what
// only the first makes unreachable gets one note, which points at it.
TEST(CheckerRecovery, OneNotePerCause)
{
    const std::string text = ": main foo 1 . helper bar ; : helper 2 . ;";
    const program prog = read_program(text.c_str());
    const std::vector<finding> all = check_program(prog);
    int errors = 0, notes = 0;
    for (const finding& f : all) {
        if (f.level == severity::error) ++errors;
        if (std::strcmp(f.code, check_code::unreachable) == 0) {
            ++notes;
            ASSERT_NE(f.related, nullptr);
            EXPECT_EQ(std::strncmp(f.related, "foo", 3), 0);
        }
        EXPECT_NE(std::strcmp(f.code, check_code::never_runs), 0) << "helper only runs past the error";
    }
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(notes, 1);
}

// A disable comment silences its codes on its line and the next, and changes
// nothing else: the jump into the comment still lands there.
TEST(CheckerDisable, SilencesWithoutChangingTheAnalysis)
{
    EXPECT_TRUE(findings_of(": main\n/* qka-check disable=QKA101 */\nfoo ;").empty());
    EXPECT_TRUE(findings_of(": main foo /* qka-check disable=QKA101 */ ;").empty());
    EXPECT_FALSE(findings_of(": main\n/* qka-check disable=QKA101 */\n\nfoo ;").empty());
    EXPECT_FALSE(findings_of(": main foo /* qka-check disable=QKA201 */ ;").empty());
    const auto landed = findings_of(": main go_down @@x /* qka-check disable=QKA201 @x */ ;");
    EXPECT_TRUE(has(landed, check_code::undefined_word, severity::error));  // the '*/' after the label runs
}

}  // namespace
