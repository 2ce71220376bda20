// Grammar-aware differential fuzz target. The input bytes are not the script
// but the choices that build one from the productions of the language:
// literals at the boundaries, the data and output words, variables (locals,
// globals, system variables, computed numbers in and out of range), loops
// with counters that end them (hot enough to be translated and compiled),
// "if", "go_down", "go_up" and "on_goto" with labels that exist and some that
// do not, calls of user words, recursion bounded by a global budget (some
// budgets past the deepest nesting), comments and early returns. A mutation
// of a byte changes one choice, so the mutants stay meaningful programs. The
// script runs through the text walker and through the tiered executor, as in
// the byte-level target; any difference aborts.
//
// QKA_GRAMMAR_OUT=FILE writes every script built to FILE (the last one
// stays), so that a finding can be run through the programs themselves:
//     QKA_GRAMMAR_OUT=case.qka build-fuzz/qka_grammar_fuzz crash-...

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "machine/settings.hpp"
#include "tier_harness.hpp"

namespace {

// The input read front to back as a series of choices. Past its end every
// choice is the first, and the first production of a body ends it.
class choices {
public:
    choices(const std::uint8_t* data, std::size_t size) : next_(data), end_(data + size) {}

    unsigned pick(unsigned n) { return next_ == end_ ? 0 : *next_++ % n; }

    template <typename T, std::size_t N>
    const T& one_of(const std::array<T, N>& options)
    {
        return options[pick(N)];
    }

private:
    const std::uint8_t* next_;
    const std::uint8_t* end_;
};

constexpr std::array<std::string_view, 24> numbers{
    "0",     "1",     "-1",    "2",          "3",           "7",          "-7",    "10",
    "100",   "255",   "256",   "321",        "46341",       "65535",      "65536", "2147483647",
    "-2147483648", "2147483648", "-2147483649", "4294967296", "+5", "-0", "12", "-100"};

constexpr std::array<std::string_view, 20> data_words{
    "+",  "-",   "*",   "/",   "%",    "=",   "<>",   "<",    ">",    "0=",
    "not", "and", "or", "dup", "swap", "over", "rot", "drop", "wday", "varsion"};

// Locals and globals the bodies read and write; the loop counters ($u to
// $x, $U to $X) and the recursion budget ($G) are kept apart.
constexpr std::array<std::string_view, 12> variables{"$a", "$b", "$c", "$d", "$e", "$z",
                                                     "$A", "$B", "$C", "$D", "$E", "$Z"};

// System variables: the clock stands still in this build and both runs read
// the same random numbers.
constexpr std::array<std::string_view, 8> system_variables{"?a", "?d", "?h", "?m", "?o", "?r", "?y", "?z"};

// Variable numbers pushed as plain numbers: the edges of each range and
// past them.
constexpr std::array<std::string_view, 14> variable_numbers{"-1", "0", "5",  "31", "32",  "63",  "64",
                                                            "81", "89", "90", "95", "96", "100", "-2147483648"};

constexpr std::array<std::string_view, 8> strings{"\"abc\"", "\"\"", "\"a b\"", "\"x\"y",
                                                 "\"hello world\"", "\"*/\"", "\"; x\"", "\"@l0\""};

// How deep the budget lets a word recurse: mostly shallow, some at and past
// the deepest nesting there may be (65535 calls).
constexpr std::array<std::string_view, 12> budgets{"0", "1", "2", "3", "5", "10", "20", "100",
                                                   "65534", "65535", "65536", "70000"};

// One counter for each level of nesting: a loop inside another never
// takes the outer one's.
constexpr std::array<std::string_view, 4> local_counters{"$u", "$v", "$w", "$x"};
constexpr std::array<std::string_view, 4> global_counters{"$U", "$V", "$W", "$X"};

constexpr int max_nesting = 4;
constexpr int max_statements = 200;
constexpr std::size_t max_script = 8192;

class script_builder {
public:
    explicit script_builder(choices& in) : in_(in) {}

    std::string build()
    {
        word_count_ = static_cast<int>(in_.pick(5));
        separator_ = in_.one_of(std::array<std::string_view, 4>{" ", " ", "\n", "\t"});
        out_ += ": main ";
        put(budgets[in_.pick(8) == 7 ? 8 + in_.pick(4) : in_.pick(8)]);
        put("$G !");
        if (in_.pick(2) != 0) put("5 $a ! 3 $b ! -2 $A !");
        for (unsigned cells = in_.pick(5); cells > 0; --cells) put(in_.one_of(numbers));
        body(0, -1);
        end_word();
        for (int w = 0; w < word_count_; ++w) {
            out_ += "\n: w" + std::to_string(w) + " ";
            body(0, w);
            end_word();
        }
        switch (in_.pick(8)) {
        case 1: out_ += "\n@l0 @l1 1 . ;"; break;  // text outside any definition, with labels
        case 2: out_ += "\n/* : hidden 7 . ; @l2 */"; break;
        case 3: out_ += " /* open"; break;         // a comment that never ends
        case 4: out_ += " \"open"; break;          // a string that never ends
        default: break;
        }
        return out_;
    }

private:
    void put(std::string_view token)
    {
        out_ += token;
        out_ += separator_;
    }

    std::string new_label() { return "l" + std::to_string(labels_++); }

    void end_word()
    {
        // now and then a word without its end, which runs on into the next
        if (in_.pick(16) != 1) put(";");
    }

    bool room() const { return statements_ < max_statements && out_.size() < max_script; }

    // Statements until the choice to stop. word: the user word being built
    // (-1 for main), for the calls it may make.
    void body(int nesting, int word)
    {
        while (room()) {
            ++statements_;
            if (!statement(nesting, word)) return;
        }
    }

    bool statement(int nesting, int word)
    {
        switch (in_.pick(20)) {
        case 0: return false;
        case 1: put(in_.one_of(numbers)); break;
        case 2: put(std::to_string(static_cast<int>(in_.pick(256)) - 128)); break;
        case 3:
        case 4:
        case 5: put(in_.one_of(data_words)); break;
        case 6: output(); break;
        case 7: variable(); break;
        case 8: variable(); break;
        case 9: counted_loop(nesting, word); break;
        case 10: branch(nesting, word); break;
        case 11: jump_over(nesting, word); break;
        case 12: computed_jump(nesting, word); break;
        case 13: call(word); break;
        case 14: put(in_.one_of(strings)); if (in_.pick(2) != 0) put("str."); break;
        case 15: comment(); break;
        case 16: early_return(); break;
        case 17: backward_jump(nesting, word); break;
        case 18: broken_jump(); break;
        case 19: idiom(); break;
        }
        return true;
    }

    void output()
    {
        switch (in_.pick(6)) {
        case 0:
        case 1: put("."); break;
        case 2: put("chr."); break;
        case 3: put("\\n"); break;
        case 4: put(std::to_string(in_.pick(4))); put("spc"); break;  // a count from the stack may be huge
        case 5: put("dup"); put("."); put("32"); put("chr."); break;
        }
    }

    void variable()
    {
        switch (in_.pick(7)) {
        case 0:
        case 1: put(in_.one_of(variables)); put("@"); break;
        case 2: put(in_.one_of(variables)); put("!"); break;
        case 3: put(in_.one_of(system_variables)); put("@"); break;
        case 4: put(in_.one_of(variable_numbers)); put(in_.pick(3) == 0 ? "!" : "@"); break;
        case 5:
            // a number computed in the loop, which may leave the range part way
            put(in_.one_of(local_counters));
            put("@");
            put(in_.one_of(variable_numbers));
            put("+");
            put(in_.pick(3) == 0 ? "!" : "@");
            break;
        case 6: put(in_.one_of(system_variables)); put("!"); break;  // read-only
        }
    }

    // A loop that its counter ends: hot after four passes.
    void counted_loop(int nesting, int word)
    {
        if (nesting >= max_nesting) {
            put(in_.one_of(data_words));
            return;
        }
        const std::string_view counter = in_.pick(3) == 0 ? global_counters[static_cast<std::size_t>(nesting)]
                                                           : local_counters[static_cast<std::size_t>(nesting)];
        const std::string top = new_label();
        put(std::to_string(1 + in_.pick(20)));  // from 0 the count would go round 2^32 times
        put(counter);
        put("!");
        put("@" + top);
        body(nesting + 1, word);
        put(counter);
        put("@");
        put("1");
        put("-");
        put("dup");
        put(counter);
        put("!");
        switch (in_.pick(3)) {
        case 0: break;                       // loops while the count is not 0
        case 1: put("0"); put(">"); break;  // also ends a count that went below 0
        case 2: put("0"); put(">"); put("and"); break;  // and on a value of the body's
        }
        put("loop");
        put("@@" + top);
    }

    // "if" over a body, or over one of two.
    void branch(int nesting, int word)
    {
        const std::string skip = new_label();
        put("if");
        put("@@" + skip);
        body(nesting + 1, word);
        if (in_.pick(2) == 0) {
            put("@" + skip);
            return;
        }
        const std::string end = new_label();
        put("go_down");
        put("@@" + end);
        put("@" + skip);
        body(nesting + 1, word);
        put("@" + end);
    }

    void jump_over(int nesting, int word)
    {
        const std::string to = new_label();
        put("go_down");
        put("@@" + to);
        body(nesting + 1, word);
        put("@" + to);
    }

    // "on_goto" with n references and an index in range, out of it, or from
    // whatever is on the stack.
    void computed_jump(int nesting, int word)
    {
        const unsigned n = in_.pick(4);
        switch (in_.pick(4)) {
        case 0: break;  // the index is on the stack already
        case 1: put(std::to_string(1 + in_.pick(n + 1))); break;
        default: put(in_.one_of(std::array<std::string_view, 5>{"0", "-1", "4", "2147483647", "1"})); break;
        }
        put(std::to_string(n));
        put("on_goto");
        std::array<std::string, 3> targets;
        for (unsigned i = 0; i < n; ++i) {
            targets[i] = new_label();
            put("@@" + targets[i]);
        }
        if (in_.pick(8) == 0) put("@@nowhere");  // one reference more than counted
        const std::string end = new_label();
        for (unsigned i = 0; i < n; ++i) {
            put("@" + targets[i]);
            body(nesting + 1, word);
            put("go_down");
            put("@@" + end);
        }
        put("@" + end);
    }

    // From main a plain call; from a word a call bounded by the budget $G,
    // so that recursion ends (or goes past the deepest nesting).
    void call(int word)
    {
        if (word_count_ == 0) {
            put(in_.one_of(data_words));
            return;
        }
        const std::string callee = "w" + std::to_string(in_.pick(static_cast<unsigned>(word_count_)));
        if (word < 0 && in_.pick(4) != 0) {
            put(callee);
            return;
        }
        const std::string skip = new_label();
        put("$G");
        put("@");
        put("1");
        put("-");
        put("dup");
        put("$G");
        put("!");
        put("0");
        put(">");
        put("if");
        put("@@" + skip);
        put(callee);
        put("@" + skip);
    }

    void comment()
    {
        put("/*");
        switch (in_.pick(4)) {
        case 0: put("1 . ;"); break;  // a ";" inside does not end the word
        case 1: put("@l" + std::to_string(in_.pick(8))); break;  // a label the searches see
        case 2: put("\"*/\""); break;
        default: break;
        }
        put("*/");
    }

    void early_return()
    {
        const std::string skip = new_label();
        put("if");
        put("@@" + skip);
        put(";");
        put("@" + skip);
    }

    // "go_up" back over a body while a counter lasts.
    void backward_jump(int nesting, int word)
    {
        if (nesting >= max_nesting) return;
        const std::string_view counter = local_counters[static_cast<std::size_t>(nesting)];
        const std::string top = new_label();
        const std::string out = new_label();
        put(std::to_string(in_.pick(12)));
        put(counter);
        put("!");
        put("@" + top);
        body(nesting + 1, word);
        put(counter);
        put("@");
        put("1");
        put("-");
        put("dup");
        put(counter);
        put("!");
        put("0");
        put(">");
        put("if");
        put("@@" + out);
        put("go_up");
        put("@@" + top);
        put("@" + out);
    }

    // Jumps that find no label, or whose reference is not one.
    void broken_jump()
    {
        switch (in_.pick(8)) {
        case 0: put("go_down"); put("@@nowhere"); break;
        case 1: put("go_up"); put("@@nowhere"); break;
        case 2: put("if"); put("@@nowhere"); break;
        case 3: put("loop"); put("@@nowhere"); break;
        case 4: put("go_down"); put("junk"); break;  // not a reference: searches for "unk"
        case 5: put("if"); put("x@l0"); break;       // the first byte is not looked at
        case 6: put("go_down"); put("@@l" + std::to_string(in_.pick(8))); break;  // maybe into a comment
        case 7: put("undefined_word"); break;
        }
    }

    // Spellings hot code is full of.
    void idiom()
    {
        const std::string_view v = in_.one_of(variables);
        switch (in_.pick(6)) {
        case 0: put("dup"); put(v); put("!"); break;
        case 1: put(v); put("@"); put("1"); put("+"); put(v); put("!"); break;
        case 2: put("over"); put("over"); put(in_.one_of(std::array<std::string_view, 4>{"<", ">", "=", "<>"})); break;
        case 3: put("0="); put("0="); break;
        case 4: put("not"); put("not"); break;
        case 5: put(v); put("@"); put(v); put("@"); put(in_.one_of(data_words)); break;
        }
    }

    choices& in_;
    std::string out_;
    std::string_view separator_ = " ";
    int word_count_ = 0;
    int labels_ = 0;
    int statements_ = 0;
};

const char* script_out = nullptr;

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    script_out = std::getenv("QKA_GRAMMAR_OUT");
    // The product's threshold, so that hot loops turn hot part way through
    // as they do in the product; the bound on steps lets recursion go past
    // the deepest nesting; the clock stands still between the two runs.
    settings.step_bound = 1'000'000;
    settings.fixed_clock = true;
    init_tier_harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    choices in{data, size};
    const std::string script = script_builder{in}.build();
    if (script_out != nullptr) {
        const file_ptr file{std::fopen(script_out, "wb")};
        if (file) std::fwrite(script.data(), 1, script.size(), file.get());
    }
    compare_tiers(script, true);
    return 0;
}
