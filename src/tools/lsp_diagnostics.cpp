// The checker's findings as diagnostics.

#include <algorithm>

#include "lsp_features.hpp"

namespace lsp {

namespace {

// The most diagnostics published for one document; a script with more has
// bigger problems than the ones left out.
constexpr std::size_t max_diagnostics = 1000;

int severity_of(severity level)
{
    switch (level) {
    case severity::error: return 1;
    case severity::warning: return 2;
    case severity::note: return 4;  // Hint: code that never runs is shown faded, not flagged
    }
    return 2;
}

// Findings of the QKA3xx codes are about code that never runs.
bool never_runs(const finding& f) { return f.code != nullptr && std::string_view(f.code).starts_with("QKA3"); }

// The related token is a definition's name or the earlier error that the
// finding follows from.
std::string related_message(const finding& f, const program& prog)
{
    const std::vector<const char*>& names = prog.definitions.names;
    if (std::binary_search(names.begin(), names.end(), f.related)) return "the definition of " + quoted(f.related) + " is here";
    return "the earlier error is here: " + quoted(f.related);
}

}  // namespace

json diagnostics_of(const snapshot& snap, const std::string& uri, encoding enc, const std::vector<finding>& findings)
{
    json diagnostics = json::array();
    position_counter count(snap.lines, enc);
    // The related places lie anywhere: counted apart, so the findings' own
    // positions, which come in order, keep counting on.
    position_counter related_count(snap.lines, enc);
    for (const finding& f : findings) {
        if (diagnostics.size() == max_diagnostics) break;
        json d = {{"range", snap.range_of(count, f.where)},
                  {"severity", severity_of(f.level)},
                  {"source", "qka-check"},
                  {"message", f.message}};
        if (f.code != nullptr) d["code"] = f.code;
        if (never_runs(f)) d["tags"] = {1};
        if (f.related != nullptr)
            d["relatedInformation"] = {{{"location", {{"uri", uri}, {"range", snap.range_of(related_count, f.related)}}},
                                        {"message", related_message(f, snap.prog)}}};
        diagnostics.push_back(std::move(d));
    }
    return diagnostics;
}

}  // namespace lsp
