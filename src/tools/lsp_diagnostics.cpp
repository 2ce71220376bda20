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
    const std::size_t shown = std::min(findings.size(), max_diagnostics);
    // The related places lie anywhere: their ranges are counted first, in
    // text order, so that a long line is counted once, not once for each.
    std::vector<const char*> related;
    for (std::size_t i = 0; i < shown; ++i)
        if (findings[i].related != nullptr) related.push_back(findings[i].related);
    std::sort(related.begin(), related.end());
    related.erase(std::unique(related.begin(), related.end()), related.end());
    std::vector<json> related_ranges;
    position_counter related_count(snap.lines, enc);
    for (const char* r : related) related_ranges.push_back(snap.range_of(related_count, r));
    json diagnostics = json::array();
    position_counter count(snap.lines, enc);
    for (std::size_t i = 0; i < shown; ++i) {
        const finding& f = findings[i];
        json d = {{"range", snap.range_of(count, f.where)},
                  {"severity", severity_of(f.level)},
                  {"source", "qka-check"},
                  {"message", f.message}};
        if (f.code != nullptr) d["code"] = f.code;
        if (never_runs(f)) d["tags"] = {1};
        if (f.related != nullptr) {
            const auto at = std::lower_bound(related.begin(), related.end(), f.related) - related.begin();
            d["relatedInformation"] = {{{"location", {{"uri", uri}, {"range", related_ranges[static_cast<std::size_t>(at)]}}},
                                        {"message", related_message(f, snap.prog)}}};
        }
        diagnostics.push_back(std::move(d));
    }
    return diagnostics;
}

}  // namespace lsp
