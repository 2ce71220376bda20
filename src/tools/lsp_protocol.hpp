#pragma once
// lsp_protocol: the Language Server Protocol's transport and JSON-RPC layer.
// Messages framed by a Content-Length header are read on a thread of their
// own, so that a cancellation can overtake the request it cancels; the
// requests and notifications are handled one at a time on the thread that
// calls connection::run. Anything may write: writes are whole and serialised.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>

#include <nlohmann/json.hpp>

namespace lsp {

using nlohmann::json;

namespace error_code {
inline constexpr int parse_error = -32700;
inline constexpr int invalid_request = -32600;
inline constexpr int method_not_found = -32601;
inline constexpr int invalid_params = -32602;
inline constexpr int internal_error = -32603;
inline constexpr int server_not_initialized = -32002;
inline constexpr int request_cancelled = -32800;
inline constexpr int request_failed = -32803;
}  // namespace error_code

// Thrown by a handler: answered as a ResponseError.
struct request_error {
    int code;
    std::string message;
};

// A result that is already JSON text: large answers are written straight
// into a string, which is many times faster than a tree of json values.
struct raw_json {
    std::string text;
};
using result = std::variant<json, raw_json>;

// Content-Length framing on file descriptors 0 and 1.
class channel {
public:
    enum class status { message, end, skipped };

    // The next message body. On skipped, what was wrong is in problem().
    status read(std::string& body);
    const std::string& problem() const { return problem_; }

    // Writes one framed message; safe from any thread. A client that is gone
    // ends the process.
    void write(const std::string& body);

private:
    bool fill();
    bool skip_body();
    std::optional<std::size_t> header_length(const std::string& header) const;

    std::string buffer_;
    std::string problem_;
    std::size_t skip_ = 0;
    std::mutex write_mutex_;
};

class connection {
public:
    using request_handler = std::function<result(const json& params)>;
    using notification_handler = std::function<void(const json& params)>;

    void on_request(const std::string& method, request_handler handler) { requests_[method] = std::move(handler); }
    void on_notification(const std::string& method, notification_handler handler)
    {
        notifications_[method] = std::move(handler);
    }
    // Called before each message is dispatched; may throw request_error to
    // refuse a request (a notification it throws for is dropped).
    std::function<void(const std::string& method, bool is_request)> gate;

    // Serves until the input ends or stop() is called.
    void run();
    void stop() { stopped_ = true; }

    void notify(const std::string& method, const json& params);
    // A request to the client, whose answer is not waited for.
    void request_client(const std::string& method);
    // window/logMessage: 1 error, 2 warning, 3 info, 4 log.
    void log(int type, const std::string& message);
    // $/logTrace, sent only while the client asks for traces.
    void trace(const std::string& message);
    void set_trace(const std::string& value) { tracing_ = value == "messages" || value == "verbose"; }
    bool tracing() const { return tracing_; }

private:
    struct incoming {
        json message;
        bool end = false;
    };

    void read_loop();
    void accept(const std::string& body);
    void dispatch(const json& message);
    void respond(const json& id, const result& r);
    void respond_error(const json& id, int code, const std::string& message);
    bool take_cancelled(const json& id);

    channel io_;
    std::map<std::string, request_handler> requests_;
    std::map<std::string, notification_handler> notifications_;
    std::mutex queue_mutex_;
    std::condition_variable queue_ready_;
    std::deque<incoming> queue_;
    std::set<std::string> cancelled_;  // ids, as JSON text, of requests cancelled before they were answered
    std::atomic<bool> tracing_ = false;
    std::atomic<long> next_request_ = 1;
    bool stopped_ = false;
};

}  // namespace lsp
