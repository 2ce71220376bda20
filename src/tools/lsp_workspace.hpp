#pragma once
// lsp_workspace: the open documents, and the two threads that analyse them.
// Every change makes a new version of a document's text. The reading thread
// reads the newest version of each document into a snapshot (tokens, index,
// jumps, comments: fast), which requests are answered from; the checking
// thread runs the checker over the newest program (slow on large scripts),
// starting as soon as the tokens and the index are read, and publishes its
// findings while that version is still the newest. The jumps and comments of
// a new version are read after its check (or at once for a document's first
// version, which requests have to wait for). A version whose text
// equals the one before is not read again, nor checked.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lsp_document.hpp"
#include "lsp_protocol.hpp"

namespace lsp {

class workspace {
public:
    // make turns the findings of a snapshot into the params of
    // textDocument/publishDiagnostics (without the uri and version).
    using diagnostics_maker =
        std::function<json(const std::string& uri, const snapshot&, const std::vector<finding>&)>;

    // prepare runs on each new snapshot before anything else sees it: work
    // that requests would otherwise do on first use.
    using preparer = std::function<void(snapshot&)>;

    workspace(connection& conn, diagnostics_maker make, preparer prepare);
    workspace(const workspace&) = delete;
    workspace& operator=(const workspace&) = delete;

    void open(const std::string& uri, std::string text, std::int64_t client_version);
    // Applies contentChanges (ranges, or whole texts) in order.
    void change(const std::string& uri, const json& changes, std::int64_t client_version, encoding enc);
    void close(const std::string& uri);
    // After new findings, ask the client to fetch semantic tokens again:
    // which definitions never run is known only then.
    void refresh_tokens_after_checks(bool on) { refresh_tokens_ = on; }

    // The snapshot to answer from: the newest version once it is read, or,
    // when that takes longer than patience, the newest one read so far.
    // Throws request_error when the document is not open.
    std::shared_ptr<const snapshot> model(const std::string& uri, std::chrono::milliseconds patience);
    // The current text of a document and its lines (nullptr when it is not open).
    struct current_text {
        std::shared_ptr<const std::string> text;
        std::shared_ptr<const line_table> lines;
    };
    current_text text(const std::string& uri);
    // The newest snapshot of every open document that has one.
    std::vector<std::pair<std::string, std::shared_ptr<const snapshot>>> snapshots();
    // True once the checker's findings for the text of snap are in.
    bool checked(const std::string& uri, const snapshot& snap);
    // The offsets of the names of definitions that never run, sorted, once
    // the text of snap is checked (else none).
    std::vector<std::size_t> never_run(const std::string& uri, const snapshot& snap);

private:
    struct document {
        std::shared_ptr<const std::string> text;
        std::shared_ptr<const line_table> lines;  // of text
        std::int64_t version = 0;         // ours: one more for every change
        std::int64_t opened_version = 0;  // at didOpen: older readings are of a closed document's text
        std::int64_t client_version = 0;  // the client's, for publishing
        std::shared_ptr<const snapshot> read;
        std::int64_t read_version = 0;  // the version read stands for: a text that did not change is not read again
        // The newest program, handed to the checker before its jumps and
        // comments are read, so that both work at once.
        std::shared_ptr<const snapshot> to_check;
        std::int64_t to_check_version = 0;
        std::int64_t checked_version = 0;
        std::shared_ptr<const std::string> checked_text;  // the text of the last findings
        json checked_diagnostics;
        std::vector<std::size_t> checked_never_run;
    };

    void read_loop();
    void check_loop();
    // Waits until version is checked, a newer one comes (false) or
    // max_check_wait passes.
    bool wait_for_check(const std::string& uri, std::int64_t version);
    static constexpr std::chrono::seconds max_check_wait{2};
    void hand_to_checker(const std::string& uri, std::shared_ptr<const snapshot> snap, std::int64_t version);
    void check_one(const std::string& uri, const std::shared_ptr<const snapshot>& snap, std::int64_t version);
    void publish(const std::string& uri, std::int64_t client_version, const json& diagnostics);

    connection& conn_;
    diagnostics_maker make_;
    preparer prepare_;
    std::mutex mutex_;
    std::condition_variable to_read_, to_check_, was_read_, was_checked_;
    std::map<std::string, document> documents_;
    std::int64_t next_version_ = 1;
    std::atomic<bool> refresh_tokens_ = false;
};

}  // namespace lsp
