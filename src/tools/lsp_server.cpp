#include "lsp_server.hpp"

#include <algorithm>

#include "lsp_features.hpp"

namespace lsp {

namespace {

// UTF-8 positions where the client can take them, else the default UTF-16.
encoding encoding_offered(const json& params)
{
    if (!params.is_object()) return encoding::utf16;
    const auto caps = params.find("capabilities");
    if (caps == params.end() || !caps->is_object()) return encoding::utf16;
    const auto general = caps->find("general");
    if (general == caps->end() || !general->is_object()) return encoding::utf16;
    const auto offered = general->find("positionEncodings");
    if (offered == general->end() || !offered->is_array()) return encoding::utf16;
    return std::find(offered->begin(), offered->end(), "utf-8") != offered->end() ? encoding::utf8 : encoding::utf16;
}

bool refreshes_tokens(const json& params)
{
    const json::json_pointer at("/capabilities/workspace/semanticTokens/refreshSupport");
    return params.is_object() && params.contains(at) && params[at].is_boolean() && params[at].get<bool>();
}

json capabilities(encoding enc)
{
    return {
        {"positionEncoding", enc == encoding::utf8 ? "utf-8" : "utf-16"},
        {"textDocumentSync", {{"openClose", true}, {"change", 2}}},
        {"definitionProvider", true},
        {"referencesProvider", true},
        {"documentHighlightProvider", true},
        {"hoverProvider", true},
        {"documentSymbolProvider", true},
        {"workspaceSymbolProvider", true},
        {"foldingRangeProvider", true},
        {"completionProvider", {{"triggerCharacters", {"@"}}}},
        {"renameProvider", {{"prepareProvider", true}}},
        {"semanticTokensProvider", {{"legend", semantic_token_legend()}, {"full", true}}},
        {"inlayHintProvider", true},
        {"codeActionProvider", {{"codeActionKinds", {"quickfix"}}}},
    };
}

class server {
public:
    server()
        : docs_(conn_, [this](const std::string& uri, const snapshot& snap, const std::vector<finding>& findings) {
              return diagnostics_of(snap, uri, state_.enc, findings);
          },
          [](snapshot& snap) { prepare_completion(snap); })
    {
        conn_.gate = [this](const std::string& method, bool is_request) { admit(method, is_request); };
        lifecycle();
        documents();
        features();
    }

    int run()
    {
        conn_.run();
        return shut_down_ ? 0 : 1;
    }

private:
    // Requests before initialize and after shutdown are refused; so are
    // notifications, but exit.
    void admit(const std::string& method, bool is_request)
    {
        if (method == "initialize" || method == "exit") return;
        if (!initialized_) throw request_error{error_code::server_not_initialized, "initialize first"};
        if (shut_down_ && is_request) throw request_error{error_code::invalid_request, "the server is shut down"};
        if (shut_down_) throw request_error{error_code::invalid_request, "shut down"};
    }

    void lifecycle()
    {
        conn_.on_request("initialize", [this](const json& params) -> result {
            if (initialized_) throw request_error{error_code::invalid_request, "initialize was sent twice"};
            initialized_ = true;
            state_.enc = encoding_offered(params);
            docs_.refresh_tokens_after_checks(refreshes_tokens(params));
            if (params.is_object() && params.contains("trace") && params["trace"].is_string())
                conn_.set_trace(params["trace"].get<std::string>());
            return json{{"capabilities", capabilities(state_.enc)}, {"serverInfo", {{"name", "qka-lsp"}, {"version", QKA_VERSION}}}};
        });
        conn_.on_request("shutdown", [this](const json&) -> result {
            shut_down_ = true;
            return json(nullptr);
        });
        conn_.on_notification("exit", [this](const json&) { conn_.stop(); });
        conn_.on_notification("$/setTrace", [this](const json& params) { conn_.set_trace(params.at("value").get<std::string>()); });
    }

    void documents()
    {
        conn_.on_notification("textDocument/didOpen", [this](const json& params) {
            const json& item = params.at("textDocument");
            docs_.open(item.at("uri").get<std::string>(), item.at("text").get<std::string>(), item.value("version", 0));
        });
        conn_.on_notification("textDocument/didChange", [this](const json& params) {
            const json& id = params.at("textDocument");
            docs_.change(id.at("uri").get<std::string>(), params.at("contentChanges"), id.value("version", 0), state_.enc);
        });
        conn_.on_notification("textDocument/didClose",
                              [this](const json& params) { docs_.close(uri_of(params)); });
    }

    template <typename feature>
    void route(const std::string& method, feature f)
    {
        conn_.on_request(method, [this, f](const json& params) -> result { return f(state_, params); });
    }

    void features()
    {
        route("textDocument/definition", find_definition);
        route("textDocument/references", find_references);
        route("textDocument/documentHighlight", document_highlights);
        route("textDocument/prepareRename", prepare_rename);
        route("textDocument/rename", rename_symbol);
        route("textDocument/hover", hover_info);
        route("textDocument/completion", complete);
        route("textDocument/documentSymbol", document_symbols);
        route("workspace/symbol", workspace_symbols);
        route("textDocument/foldingRange", folding_ranges);
        route("textDocument/semanticTokens/full", semantic_tokens_full);
        route("textDocument/inlayHint", inlay_hints);
        route("textDocument/codeAction", code_actions);
    }

    connection conn_;
    workspace docs_;
    server_state state_{conn_, docs_};
    bool initialized_ = false;
    bool shut_down_ = false;
};

}  // namespace

int serve()
{
    // Lives until the process ends: the analysis threads use it to the last.
    static server s;
    return s.run();
}

}  // namespace lsp
