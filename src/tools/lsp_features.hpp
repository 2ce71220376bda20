#pragma once
// lsp_features: the requests qka-lsp answers, one function each, and the
// helpers they share. Every answer comes from a snapshot, read with the
// interpreter's own scanning, index and label searches.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "lsp_document.hpp"
#include "lsp_protocol.hpp"
#include "lsp_workspace.hpp"

namespace lsp {

struct server_state {
    connection& conn;
    workspace& docs;
    encoding enc = encoding::utf16;
};

// How long a request waits for the newest version to be read before it is
// answered from the one before.
inline constexpr std::chrono::milliseconds read_patience{20};

// --- Shared helpers (lsp_words.cpp)

std::string uri_of(const json& params);
std::shared_ptr<const snapshot> model_of(server_state& s, const json& params);
// The token under the request's position (or right before it), or nullptr.
const char* token_of(const server_state& s, const snapshot& snap, const json& params);
// A label token as the jumps search for it: '@' and a word character other than '@'.
bool is_label(const char* t);
// True when t is the name of a definition (after a ':' token).
bool is_definition_name(const snapshot& snap, const char* t);
// The definition a token runs as a call, or nullptr (natives, literals, undefined words).
const char* called_definition(const snapshot& snap, const char* t);
// The definition a name or a call leads to, or nullptr.
const char* word_target(const snapshot& snap, const char* t);
// The jump whose reference is the token t, or nullptr.
const jump* jump_at(const snapshot& snap, const char* t);
// The index of the token at t in snap.prog.tokens (t must be a token start).
std::size_t token_index(const snapshot& snap, const char* t);
std::string quoted(const char* t);
// The stretches of comments that a jump lands in: from the label to the
// first ';' or the comment's end. The tokens there run as code.
std::vector<comment_span> comment_code(const snapshot& snap);
json location(server_state& s, const snapshot& snap, const std::string& uri, const char* t);

// --- Features

json diagnostics_of(const snapshot& snap, const std::string& uri, encoding enc, const std::vector<finding>& findings);
json find_definition(server_state& s, const json& params);
json find_references(server_state& s, const json& params);
json document_highlights(server_state& s, const json& params);
json prepare_rename(server_state& s, const json& params);
json rename_symbol(server_state& s, const json& params);
json hover_info(server_state& s, const json& params);
json complete(server_state& s, const json& params);
// Makes completion's candidate lists of a new snapshot, before it is shared.
void prepare_completion(const snapshot& snap);
raw_json document_symbols(server_state& s, const json& params);
json workspace_symbols(server_state& s, const json& params);
raw_json folding_ranges(server_state& s, const json& params);
json semantic_token_legend();
raw_json semantic_tokens_full(server_state& s, const json& params);
json inlay_hints(server_state& s, const json& params);
json code_actions(server_state& s, const json& params);

// The stack effect of a user word's body, when every token of it has a known
// one: (pops, pushes).
struct stack_effect {
    int pops;
    int pushes;
};
std::optional<stack_effect> effect_of_definition(const snapshot& snap, const char* name);

}  // namespace lsp
