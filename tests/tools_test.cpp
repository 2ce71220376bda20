// The checker's reading of jumps against the interpreter's label search: on
// random scripts whose jumps all can run, a label is reported as reached by no
// jump exactly when no jump's own search lands on it.
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "check.hpp"
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

}  // namespace
