#include "lsp_workspace.hpp"

#include <algorithm>
#include <cstdio>

namespace lsp {

namespace {

double milliseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::string format_ms(double ms)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", ms);
    return buffer;
}

}  // namespace

workspace::workspace(connection& conn, diagnostics_maker make, preparer prepare)
    : conn_(conn), make_(std::move(make)), prepare_(std::move(prepare))
{
    // Both wait for work for as long as the process lives; it ends by _Exit.
    std::thread(&workspace::read_loop, this).detach();
    std::thread(&workspace::check_loop, this).detach();
}

void workspace::open(const std::string& uri, std::string text, std::int64_t client_version)
{
    const std::lock_guard lock(mutex_);
    document& doc = documents_[uri];
    doc.text = std::make_shared<const std::string>(std::move(text));
    doc.lines = std::make_shared<const line_table>(*doc.text);
    doc.version = next_version_++;
    doc.opened_version = doc.version;
    doc.client_version = client_version;
    to_read_.notify_one();
    was_checked_.notify_all();  // a reading that waits for an older check goes on to this
}

void workspace::change(const std::string& uri, const json& changes, std::int64_t client_version, encoding enc)
{
    const current_text before = text(uri);
    if (before.text == nullptr) return;
    std::string after = *before.text;
    // The lines of the text as it is before each change: the document's own
    // for the first, counted again only for the ones after it.
    std::shared_ptr<const line_table> lines = before.lines;
    bool counted = true;
    for (const json& change : changes) {
        const std::string text = change.at("text").get<std::string>();
        if (const auto range = change.find("range"); range != change.end()) {
            if (!counted) lines = std::make_shared<const line_table>(after);
            const std::size_t start = lines->offset_of(range->at("start"), enc);
            const std::size_t end = std::max(start, lines->offset_of(range->at("end"), enc));
            after.replace(start, end - start, text);
        } else {
            after = text;
        }
        counted = false;
    }
    auto shared = std::make_shared<const std::string>(std::move(after));
    lines = std::make_shared<const line_table>(*shared);
    const std::lock_guard lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end()) return;
    found->second.text = std::move(shared);
    found->second.lines = std::move(lines);
    found->second.version = next_version_++;
    found->second.client_version = client_version;
    to_read_.notify_one();
    was_checked_.notify_all();  // a reading that waits for an older check goes on to this
}

void workspace::close(const std::string& uri)
{
    {
        const std::lock_guard lock(mutex_);
        if (documents_.erase(uri) == 0) return;
        was_checked_.notify_all();
    }
    publish(uri, -1, json::array());
}

workspace::current_text workspace::text(const std::string& uri)
{
    const std::lock_guard lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end()) return {};
    return {found->second.text, found->second.lines};
}

std::shared_ptr<const snapshot> workspace::model(const std::string& uri, std::chrono::milliseconds patience)
{
    std::unique_lock lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end()) throw request_error{error_code::invalid_params, "document not open: " + uri};
    const std::int64_t wanted = found->second.version;
    auto ready = [&] {
        const auto d = documents_.find(uri);
        return d == documents_.end() || d->second.read_version >= wanted;
    };
    was_read_.wait_for(lock, patience, ready);
    // A document just opened has nothing to answer from yet: that first
    // reading is waited for however long it takes.
    was_read_.wait(lock, [&] {
        const auto d = documents_.find(uri);
        return d == documents_.end() || d->second.read != nullptr;
    });
    const auto d = documents_.find(uri);
    if (d == documents_.end()) throw request_error{error_code::invalid_params, "document not open: " + uri};
    return d->second.read;
}

std::vector<std::pair<std::string, std::shared_ptr<const snapshot>>> workspace::snapshots()
{
    const std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::shared_ptr<const snapshot>>> out;
    for (const auto& [uri, doc] : documents_)
        if (doc.read != nullptr) out.emplace_back(uri, doc.read);
    return out;
}

bool workspace::checked(const std::string& uri, const snapshot& snap)
{
    const std::lock_guard lock(mutex_);
    const auto found = documents_.find(uri);
    return found != documents_.end() && found->second.checked_text == snap.text;
}

std::vector<std::size_t> workspace::never_run(const std::string& uri, const snapshot& snap)
{
    const std::lock_guard lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end() || found->second.checked_text != snap.text) return {};
    return found->second.checked_never_run;
}

void workspace::read_loop()
{
    for (;;) {
        std::string uri;
        std::shared_ptr<const std::string> text;
        std::shared_ptr<const snapshot> last;
        std::int64_t version = 0;
        {
            std::unique_lock lock(mutex_);
            to_read_.wait(lock, [&] {
                for (const auto& [u, doc] : documents_) {
                    if (doc.read_version == doc.version) continue;
                    uri = u;
                    text = doc.text;
                    last = doc.read;
                    version = doc.version;
                    return true;
                }
                return false;
            });
        }
        // An edit that changes nothing (undone, or written over with the
        // same text) keeps the snapshot it had.
        std::shared_ptr<const snapshot> snap = last;
        if (last == nullptr || *last->text != *text) {
            const auto start = std::chrono::steady_clock::now();
            auto made = std::make_shared<snapshot>(version, text);
            const double program_ms = milliseconds_since(start);
            hand_to_checker(uri, made, version);
            // With a version to answer from meanwhile, the checker has the
            // processor to itself first: diagnostics come sooner.
            if (last != nullptr && !wait_for_check(uri, version)) continue;
            made->read_jumps();
            if (prepare_) prepare_(*made);
            conn_.trace("read " + uri + " program_ms=" + format_ms(program_ms) +
                        " rest_ms=" + format_ms(milliseconds_since(start) - program_ms));
            snap = std::move(made);
        } else {
            hand_to_checker(uri, snap, version);
        }
        const std::lock_guard lock(mutex_);
        const auto found = documents_.find(uri);
        if (found == documents_.end() || found->second.read_version >= version ||
            version < found->second.opened_version)
            continue;
        found->second.read = std::move(snap);
        found->second.read_version = version;
        was_read_.notify_all();
    }
}

bool workspace::wait_for_check(const std::string& uri, std::int64_t version)
{
    std::unique_lock lock(mutex_);
    std::int64_t current = version;
    was_checked_.wait_for(lock, max_check_wait, [&] {
        const auto found = documents_.find(uri);
        if (found == documents_.end()) return true;
        current = found->second.version;
        return found->second.checked_version >= version || current != version;
    });
    // A newer version is read instead of finishing this one.
    return current == version;
}

void workspace::hand_to_checker(const std::string& uri, std::shared_ptr<const snapshot> snap, std::int64_t version)
{
    const std::lock_guard lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end() || found->second.to_check_version >= version ||
        version < found->second.opened_version)
        return;
    found->second.to_check = std::move(snap);
    found->second.to_check_version = version;
    to_check_.notify_one();
}

void workspace::check_loop()
{
    for (;;) {
        std::string uri;
        std::shared_ptr<const snapshot> snap;
        std::int64_t version = 0;
        {
            std::unique_lock lock(mutex_);
            to_check_.wait(lock, [&] {
                for (const auto& [u, doc] : documents_) {
                    if (doc.to_check == nullptr || doc.checked_version >= doc.to_check_version) continue;
                    uri = u;
                    snap = doc.to_check;
                    version = doc.to_check_version;
                    return true;
                }
                return false;
            });
        }
        check_one(uri, snap, version);
    }
}

void workspace::check_one(const std::string& uri, const std::shared_ptr<const snapshot>& snap, std::int64_t version)
{
    std::shared_ptr<const std::string> last_text;
    json diagnostics;
    std::vector<std::size_t> never_run;
    {
        const std::lock_guard lock(mutex_);
        const auto found = documents_.find(uri);
        if (found == documents_.end()) return;
        last_text = found->second.checked_text;
        diagnostics = found->second.checked_diagnostics;
        never_run = found->second.checked_never_run;
    }
    const auto start = std::chrono::steady_clock::now();
    double check_ms = 0;
    const bool same = last_text != nullptr && (last_text == snap->text || *last_text == *snap->text);
    if (!same) {
        const std::vector<finding> findings = check_program(snap->prog);
        check_ms = milliseconds_since(start);
        diagnostics = make_(uri, *snap, findings);
        never_run.clear();
        for (const finding& f : findings)
            if (std::string_view(f.code) == check_code::never_runs) never_run.push_back(snap->offset(f.where));
        std::sort(never_run.begin(), never_run.end());
    }
    std::int64_t client_version = 0;
    {
        const std::lock_guard lock(mutex_);
        const auto found = documents_.find(uri);
        if (found == documents_.end() || version < found->second.opened_version) return;
        document& doc = found->second;
        doc.checked_version = version;
        doc.checked_text = snap->text;
        doc.checked_diagnostics = diagnostics;
        doc.checked_never_run = never_run;
        was_checked_.notify_all();
        // Findings of a version already replaced would stand in the wrong
        // places: the newer one is checked next.
        if (doc.version != version) return;
        client_version = doc.client_version;
    }
    const double total_ms = milliseconds_since(start);
    // The trace first: a client that waits for the diagnostics has it then.
    conn_.trace("analysed " + uri + " version=" + std::to_string(client_version) + " check_ms=" +
                format_ms(check_ms) + " diagnostics_ms=" +
                format_ms(total_ms - check_ms) + (same ? " reused=1" : " reused=0"));
    publish(uri, client_version, diagnostics);
    if (!same && refresh_tokens_) conn_.request_client("workspace/semanticTokens/refresh");
}

void workspace::publish(const std::string& uri, std::int64_t client_version, const json& diagnostics)
{
    json params = {{"uri", uri}, {"diagnostics", diagnostics}};
    if (client_version >= 0) params["version"] = client_version;
    conn_.notify("textDocument/publishDiagnostics", params);
}

}  // namespace lsp
