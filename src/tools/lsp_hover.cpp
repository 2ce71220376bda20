// Hover: what the token under the cursor is to the interpreter.

#include <cstdio>

#include "lsp_features.hpp"
#include "machine/positions.hpp"
#include "text/classify.hpp"
#include "text/tokens.hpp"

namespace lsp {

namespace {

// The comment right before the ':' of a definition, without its marks.
std::string comment_before(const program& prog, const char* name)
{
    const auto at = std::lower_bound(prog.tokens.begin(), prog.tokens.end(), name);
    if (at == prog.tokens.end() || *at != name || at - prog.tokens.begin() < 2) return {};
    const auto close_at = at - 2;  // the token before the ':'
    if (word_compare(*close_at, comment_end) != 0) return {};
    const char* close = *close_at;
    for (auto open = close_at; open != prog.tokens.begin();) {
        --open;
        if (word_compare(*open, "/*") == 0) {
            std::string text(*open + 2, close);
            const auto first = text.find_first_not_of(" \t\r\n");
            const auto last = text.find_last_not_of(" \t\r\n");
            return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
        }
        if (word_compare(*open, comment_end) == 0) break;
    }
    return {};
}

std::string line_text(const program& prog, const char* p)
{
    const char* start = p;
    while (start > prog.text && start[-1] != '\n' && start[-1] != '\r') --start;
    const char* end = p;
    while (end < prog.text_end && *end != '\n' && *end != '\r') ++end;
    std::string line(start, end);
    const auto first = line.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : line.substr(first);
}

std::string jump_text(const snapshot& snap, const char* t, const jump& j)
{
    if (j.landing == nullptr)
        return "Label `" + show_word(t + 1) + "` is not found " + (j.backward ? "before" : "after") + " this reference.";
    return "Jumps to line " + std::to_string(locate(snap.prog, j.landing).line) + ":\n\n```qka\n" +
           line_text(snap.prog, j.landing) + "\n```";
}

std::string word_text(const snapshot& snap, const char* name)
{
    std::string text = std::string("`").append(show_word(name, 200)) + "`, defined at line " + std::to_string(locate(snap.prog, name).line);
    if (const auto effect = effect_of_definition(snap, name))
        text += ", `( " + std::to_string(effect->pops) + " -- " + std::to_string(effect->pushes) + " )`";
    const std::string comment = comment_before(snap.prog, name);
    if (!comment.empty()) text += "\n\n" + comment;
    return text;
}

std::string label_text(const snapshot& snap, const char* t)
{
    std::size_t landing = 0;
    for (const jump& j : snap.jumps)
        if (j.landing == t) ++landing;
    return "Label `" + show_word(t, 200) + "`: " +
           (landing == 0 ? std::string("no jump lands here.")
                         : std::to_string(landing) + (landing == 1 ? " jump lands" : " jumps land") + " here.");
}

// What the system variable of a letter holds.
const char* system_variable(char letter)
{
    switch (letter) {
    case 'd': return "the day of the month (local time)";
    case 'h': return "the hour (local time)";
    case 'm': return "the minute (local time)";
    case 'o': return "the month, 1 to 12 (local time)";
    case 's': return "the second (local time)";
    case 'y': return "the year, such as 2026 (local time)";
    case 'r': return "a random 32-bit number, which may be negative (seeded from the clock once per run)";
    default: return "always 0";
    }
}

// A variable-number token: '$' and a letter, or '?' and a lower-case letter.
std::string variable_text(const snapshot& snap, const char* t)
{
    const cell c = token2string_word(snap.prog.positions, t);
    const std::string number = std::to_string(c.value);
    const std::string spelled = std::string(t, 2);
    std::string text;
    if (t[0] == '?') {
        text = "`" + spelled + "`: system variable " + number + ", read-only: " + system_variable(t[1]) +
               ". Computed when `@` reads it; `!` into it ends the run.";
    } else if (c.value < 32) {
        text = "`" + spelled + "`: local variable " + number +
               " of the running word. Every call level has its own 32 locals; they start at 0 and a call does not "
               "clear them, so a word sees what the last word at the same depth left.";
    } else {
        text = "`" + spelled + "`: global variable " + number + ", 0 at the start, shared by every word.";
    }
    text += "\n\nPushes the number " + number + ": `" + spelled + " @` fetches the variable, `x " + spelled +
            " !` stores x into it.";
    if (is_word_char(t[2])) text += " Only the first letter counts: `" + show_word(t, 200) + "` is `" + spelled + "`.";
    return text;
}

std::string number_text(std::int32_t value)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", static_cast<std::uint32_t>(value));
    std::string text = "Number " + std::to_string(value) + " = `" + hex + "`";
    const std::uint8_t byte = static_cast<std::uint8_t>(value);
    if (value >= 32 && value < 127) text += " = `'" + std::string(1, static_cast<char>(value)) + "'`";
    else if (byte >= 32 && byte < 127) text += "; `chr.` writes `" + std::string(1, static_cast<char>(byte)) + "`";
    if (value >= 0 && value <= 95)
        text += std::string("\n\nAs a variable number: ") +
                (value < 32 ? "a local" : value < 64 ? "a global" : "a system variable (read-only)") + ".";
    return text;
}

// The hover text of token t, or "" when there is nothing to say.
std::string text_of(const snapshot& snap, const char* t)
{
    const program& prog = snap.prog;
    if (const jump* j = jump_at(snap, t)) return jump_text(snap, t, *j);
    if (opens_unterminated_string(t)) return "A string literal with no closing quote: running it ends the run.";
    const cell c = token2string_word(prog.positions, t);
    if (c.tag == cell_tag::NUMBER) {
        if (parse_number(t).tag == cell_tag::NUMBER) return number_text(c.value);
        return variable_text(snap, t);
    }
    if (c.tag == cell_tag::STRING) return "";
    if (const native_info* info = native_at(prog, t); info != nullptr && c.tag == cell_tag::UNKNOWN)
        return std::string("`") + info->name + "` `" + info->effect + "`\n\n" + info->summary;
    if (const char* name = word_target(snap, t)) return word_text(snap, name);
    if (is_label(t)) return label_text(snap, t);
    if (t[0] == '$' || t[0] == '?')
        return std::string("`").append(show_word(t, 200)) + "` is no variable but a word, and none is defined by that name: " +
               (t[0] == '$' ? "`$` takes a letter, `$a` to `$z` locals, `$A` to `$Z` globals."
                            : "`?` takes a lower-case letter, `?a` to `?z`.");
    return "";
}

}  // namespace

json hover_info(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    const char* t = token_of(s, *snap, params);
    if (t == nullptr) return nullptr;
    const std::string text = text_of(*snap, t);
    if (text.empty()) return nullptr;
    position_counter count(snap->lines, s.enc);
    return {{"contents", {{"kind", "markdown"}, {"value", text}}}, {"range", snap->range_of(count, t)}};
}

}  // namespace lsp
