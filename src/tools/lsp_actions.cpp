// Quick fixes: a byte order mark removed, CRLF line ends made LF, a missing
// ';' or '*/' inserted, a label that a jump does not find created.

#include <algorithm>

#include "lsp_features.hpp"
#include "machine/positions.hpp"
#include "text/tokens.hpp"

namespace lsp {

namespace {

struct fix {
    std::string title;
    const char* code;       // the checker's code it answers, or nullptr
    std::size_t anchor;     // where the problem is
    std::size_t from, to;   // the bytes replaced
    std::string new_text;
};

constexpr std::string_view bom = "\xef\xbb\xbf";

void text_fixes(const snapshot& snap, std::vector<fix>& out)
{
    const std::string& text = *snap.text;
    if (std::string_view(text).starts_with(bom))
        out.push_back({"Remove the byte order mark", check_code::byte_order_mark, 0, 0, bom.size(), ""});
    if (text.find("\r\n") != std::string::npos) {
        std::string lf;
        lf.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
        out.push_back({"Convert CRLF line ends to LF", check_code::shebang_cr, 0, 0, text.size(), std::move(lf)});
    }
}

// A definition whose body has no ';' before the next ':' runs into it.
void semicolon_fixes(const snapshot& snap, std::vector<fix>& out)
{
    const program& prog = snap.prog;
    const auto& names = prog.definitions.names;
    for (std::size_t i = 1; i < names.size(); ++i) {
        const std::size_t at = token_index(snap, names[i]);
        if (at < 2) continue;
        const char* colon = prog.tokens[at - 1];
        bool ended = false;
        for (std::size_t k = token_index(snap, names[i - 1]) + 1; k + 1 < at && !ended; ++k)
            ended = is_single_char_token(prog.tokens[k], ';');
        if (ended) continue;
        const std::size_t end = snap.offset(token_end(prog, prog.tokens[at - 2]));
        out.push_back({"Insert ';' to end " + quoted(names[i - 1]) + " before the definition of " + quoted(names[i]),
                       check_code::undefined_word, snap.offset(colon), end, end, " ;"});
    }
}

void comment_fixes(const snapshot& snap, std::vector<fix>& out)
{
    for (const comment_span& c : snap.comments) {
        if (word_compare(c.close, comment_end) == 0) continue;
        const std::size_t open = snap.offset(c.open);
        const std::size_t end = snap.lines.line_end(snap.lines.line_of(open));
        out.push_back({"Insert '*/' at the end of the comment's first line", check_code::unterminated_comment, open, end,
                       end, " */"});
    }
}

// The label goes where the jump's search will meet it first: before the
// ';' that ends the body for a forward jump, after the word's name for a
// backward one.
void label_fixes(const snapshot& snap, std::vector<fix>& out)
{
    const program& prog = snap.prog;
    for (const jump& j : snap.jumps) {
        if (j.landing != nullptr || j.reference == nullptr || j.reference[1] != '@') continue;
        const std::string label = show_word(j.reference + 1, 200);
        if (label.find("\\x") != std::string::npos) continue;  // not text a client could show
        std::size_t at;
        std::string text;
        if (!j.backward) {
            const char* t = next_token(j.reference);
            while (t != nullptr && *t != '\0' && !is_single_char_token(t, ';')) t = next_token(t);
            at = t == nullptr || *t == '\0' ? snap.text->size() : snap.offset(t);
            text = t == nullptr || *t == '\0' ? " " + label : label + " ";
        } else {
            const auto& names = prog.definitions.names;
            const auto after = std::upper_bound(names.begin(), names.end(), j.reference);
            at = after == names.begin() ? snap.offset(prog.tokens.front()) : snap.offset(token_end(prog, *(after - 1)));
            text = after == names.begin() ? label + " " : " " + label;
        }
        out.push_back({"Create label '" + label + "' " + (j.backward ? "at the start of the word" : "before the ';'"),
                       check_code::label_not_found, snap.offset(j.reference), at, at, std::move(text)});
    }
}

// The diagnostics of the request's context that a fix answers.
json answered(const json& context, const fix& f, std::size_t line)
{
    json out = json::array();
    if (f.code == nullptr || !context.is_array()) return out;
    for (const json& d : context)
        if (d.value("code", "") == f.code && d.contains("range") && d["range"]["start"].value("line", -1) == static_cast<long>(line))
            out.push_back(d);
    return out;
}

}  // namespace

json code_actions(server_state& s, const json& params)
{
    const std::string uri = uri_of(params);
    // The edits must fit the text the client has now.
    const auto snap = s.docs.model(uri, std::chrono::seconds(30));
    const std::size_t first = static_cast<std::size_t>(params.at("range").at("start").at("line").get<long>());
    const std::size_t last = static_cast<std::size_t>(params.at("range").at("end").at("line").get<long>());
    std::vector<fix> fixes;
    text_fixes(*snap, fixes);
    semicolon_fixes(*snap, fixes);
    comment_fixes(*snap, fixes);
    label_fixes(*snap, fixes);
    static const json none = json::array();
    const auto context = params.find("context");
    const json& diagnostics = context != params.end() && context->contains("diagnostics") ? context->at("diagnostics") : none;
    json actions = json::array();
    position_counter count(snap->lines, s.enc);
    for (const fix& f : fixes) {
        const std::size_t line = snap->lines.line_of(f.anchor);
        // Whole-document fixes are offered anywhere; the others on their line.
        if (f.anchor != 0 && (line < first || line > last)) continue;
        json edit = {{"range", count.range(f.from, f.to)}, {"newText", f.new_text}};
        actions.push_back({{"title", f.title},
                           {"kind", "quickfix"},
                           {"diagnostics", answered(diagnostics, f, line)},
                           {"edit", {{"changes", {{uri, json::array({edit})}}}}}});
    }
    return actions;
}

}  // namespace lsp
