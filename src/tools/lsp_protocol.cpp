#include "lsp_protocol.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace lsp {

namespace {

// A body larger than this is passed over unread; a header block larger than
// this is dropped: neither can come from a sane client.
constexpr std::size_t max_body = 256u << 20;
constexpr std::size_t max_header = 64u << 10;

// So many cancellations of requests that were answered before they came are
// forgotten at once.
constexpr std::size_t max_cancelled = 4096;

}  // namespace

// ---------------------------------------------------------------------------
// Framing

bool channel::fill()
{
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

// Passes over the rest of a body too large to keep; false when the input ends.
bool channel::skip_body()
{
    while (skip_ > 0) {
        if (buffer_.empty() && !fill()) return false;
        const std::size_t take = std::min(skip_, buffer_.size());
        buffer_.erase(0, take);
        skip_ -= take;
    }
    return true;
}

std::optional<std::size_t> channel::header_length(const std::string& header) const
{
    std::optional<std::size_t> length;
    std::size_t start = 0;
    while (start <= header.size()) {
        std::size_t end = header.find("\r\n", start);
        if (end == std::string::npos) end = header.size();
        const std::string line = header.substr(start, end - start);
        start = end + 2;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name != "content-length") continue;
        const std::string value = line.substr(colon + 1);
        std::size_t pos = value.find_first_not_of(" \t");
        std::size_t n = 0;
        bool digits = false;
        for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos) {
            digits = true;
            if (n > (std::size_t{1} << 40)) break;
            n = n * 10 + static_cast<std::size_t>(value[pos] - '0');
        }
        if (digits && value.find_first_not_of(" \t", pos) == std::string::npos) length = n;
    }
    return length;
}

channel::status channel::read(std::string& body)
{
    problem_.clear();
    if (!skip_body()) return status::end;
    std::size_t header_end;
    for (;;) {
        header_end = buffer_.find("\r\n\r\n");
        if (header_end != std::string::npos) break;
        if (buffer_.size() > max_header) {
            buffer_.clear();
            problem_ = "a header block without its end was dropped";
            return status::skipped;
        }
        if (!fill()) return status::end;
    }
    const std::optional<std::size_t> length = header_length(buffer_.substr(0, header_end));
    buffer_.erase(0, header_end + 4);
    if (!length) {
        problem_ = "a message without a valid Content-Length header was dropped";
        return status::skipped;
    }
    if (*length > max_body) {
        // Said before the body is passed over, which may take long.
        problem_ = "a message of " + std::to_string(*length) + " bytes, more than the server takes, is dropped";
        skip_ = *length;
        return status::skipped;
    }
    while (buffer_.size() < *length)
        if (!fill()) return status::end;
    body = buffer_.substr(0, *length);
    buffer_.erase(0, *length);
    return status::message;
}

void channel::write(const std::string& body)
{
    const std::string frame = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::lock_guard lock(write_mutex_);
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::write(1, frame.data() + done, frame.size() - done);
        if (n < 0 && errno == EINTR) continue;
        // The client is gone. Other threads may be mid-analysis: no
        // destructors run under them.
        if (n <= 0) std::_Exit(1);
        done += static_cast<std::size_t>(n);
    }
}

// ---------------------------------------------------------------------------
// JSON-RPC

namespace {

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

void connection::read_loop()
{
    for (;;) {
        std::string body;
        const channel::status s = io_.read(body);
        if (s == channel::status::end) break;
        if (s == channel::status::skipped) {
            log(1, io_.problem());
            continue;
        }
        accept(body);
    }
    const std::lock_guard lock(queue_mutex_);
    queue_.push_back({json(), true});
    queue_ready_.notify_one();
}

// Checks a message as it comes: what is malformed is answered here, a
// cancellation is noted, the rest waits for its turn.
void connection::accept(const std::string& body)
{
    json message;
    try {
        message = json::parse(body);
    } catch (const json::exception& e) {
        respond_error(nullptr, error_code::parse_error, std::string("parse error: ") + e.what());
        return;
    }
    if (!message.is_object()) {
        respond_error(nullptr, error_code::invalid_request, "a message must be a JSON object");
        return;
    }
    const auto method = message.find("method");
    const auto id = message.find("id");
    const bool has_id = id != message.end() && (id->is_number_integer() || id->is_string());
    if (id != message.end() && !has_id && !id->is_null()) {
        respond_error(nullptr, error_code::invalid_request, "an id must be a number or a string");
        return;
    }
    if (method == message.end()) return;  // a response: the server sends no requests
    if (!method->is_string()) {
        respond_error(has_id ? *id : json(nullptr), error_code::invalid_request, "the method must be a string");
        return;
    }
    const std::lock_guard lock(queue_mutex_);
    if (*method == "$/cancelRequest" && !has_id) {
        const auto params = message.find("params");
        if (params != message.end() && params->is_object() && params->contains("id")) {
            if (cancelled_.size() >= max_cancelled) cancelled_.clear();
            cancelled_.insert(dump(params->at("id")));
        }
        return;
    }
    queue_.push_back({std::move(message), false});
    queue_ready_.notify_one();
}

bool connection::take_cancelled(const json& id)
{
    const std::lock_guard lock(queue_mutex_);
    return cancelled_.erase(dump(id)) != 0;
}

void connection::run()
{
    std::thread(&connection::read_loop, this).detach();
    while (!stopped_) {
        incoming next;
        {
            std::unique_lock lock(queue_mutex_);
            queue_ready_.wait(lock, [this] { return !queue_.empty(); });
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        if (next.end) return;
        dispatch(next.message);
    }
}

void connection::dispatch(const json& message)
{
    const std::string method = message.at("method").get<std::string>();
    static const json no_params = json::object();
    const auto found = message.find("params");
    const json& params = found == message.end() ? no_params : *found;
    const auto id = message.find("id");
    if (id == message.end() || id->is_null()) {
        try {
            if (gate) gate(method, false);
            if (const auto handler = notifications_.find(method); handler != notifications_.end())
                handler->second(params);
        } catch (const request_error&) {
            // refused: notifications have no answer
        } catch (const std::exception& e) {
            log(1, "invalid " + method + " notification: " + e.what());
        }
        return;
    }
    if (take_cancelled(*id)) {
        respond_error(*id, error_code::request_cancelled, "the request was cancelled");
        return;
    }
    try {
        if (gate) gate(method, true);
        const auto handler = requests_.find(method);
        if (handler == requests_.end()) throw request_error{error_code::method_not_found, "unknown method " + method};
        const auto start = std::chrono::steady_clock::now();
        const result r = handler->second(params);
        if (tracing_)
            trace("answered " + method + " made_ms=" +
                  std::to_string(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count()));
        respond(*id, r);
    } catch (const request_error& e) {
        respond_error(*id, e.code, e.message);
    } catch (const json::exception& e) {
        respond_error(*id, error_code::invalid_params, std::string("invalid params: ") + e.what());
    } catch (const std::out_of_range& e) {
        respond_error(*id, error_code::invalid_params, std::string("invalid params: ") + e.what());
    }
    take_cancelled(*id);  // one that came too late to matter
}

void connection::respond(const json& id, const result& r)
{
    if (const raw_json* raw = std::get_if<raw_json>(&r))
        io_.write(R"({"jsonrpc":"2.0","id":)" + dump(id) + R"(,"result":)" + raw->text + "}");
    else
        io_.write(dump({{"jsonrpc", "2.0"}, {"id", id}, {"result", std::get<json>(r)}}));
}

void connection::respond_error(const json& id, int code, const std::string& message)
{
    io_.write(dump({{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}}));
}

void connection::notify(const std::string& method, const json& params)
{
    io_.write(dump({{"jsonrpc", "2.0"}, {"method", method}, {"params", params}}));
}

void connection::request_client(const std::string& method)
{
    // The answer, a message without a method, is passed over when it comes.
    io_.write(dump({{"jsonrpc", "2.0"}, {"id", "qka-lsp-" + std::to_string(next_request_++)}, {"method", method}}));
}

void connection::log(int type, const std::string& message)
{
    notify("window/logMessage", {{"type", type}, {"message", message}});
}

void connection::trace(const std::string& message)
{
    if (tracing_) notify("$/logTrace", {{"message", message}});
}

}  // namespace lsp
