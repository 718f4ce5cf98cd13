#pragma once

// A firmware server on 127.0.0.1 (an ephemeral port), over HTTP or HTTPS: each route answers from a
// script of replies, the last one repeated, and every request is logged with how it ended. One thread
// per connection, one request per connection. Thread-safe.

#include <SimNetwork/TestCertificates.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace SimNetwork {

class FirmwareServer
{
public:
    struct Reply
    {
        int status = 200;
        std::string body{};
        // Extra header lines, such as {"Location", url}.
        std::vector<std::pair<std::string, std::string>> headers{};
        // A Content-Length other than the body's: the connection closes after the body.
        std::optional<uint64_t> declaredLength{};
        // No length: the body repeats until this many bytes have gone or the client closes.
        std::optional<uint64_t> streamWithoutLength{};
        // Reads the request and never answers.
        bool silent = false;
        // Reads the request and closes the connection without a status line.
        bool closeWithoutStatus = false;
        // The body in chunked transfer encoding, without a Content-Length.
        bool chunked = false;
        // Sends the body this many bytes at a time, waiting `throttleMilliseconds` (real time) between.
        std::optional<size_t> throttleBytes{};
        int throttleMilliseconds = 50;
    };

    struct Request
    {
        std::string method;
        std::string path;
        std::string host;
        int status = 0;
        uint64_t bodyBytesSent = 0;
        // The client went away before the whole reply was sent.
        bool clientClosedEarly = false;
    };

    // Plain HTTP, or HTTPS with the given certificate.
    explicit FirmwareServer(std::optional<ServerCertificate> tls = std::nullopt);
    ~FirmwareServer();
    FirmwareServer(const FirmwareServer&) = delete;
    FirmwareServer& operator=(const FirmwareServer&) = delete;

    uint16_t port() const;
    void setRoute(const std::string& path, std::vector<Reply> script);
    // The requests so far, completed or not.
    std::vector<Request> log() const;
    // Waits (real time) until n requests have been answered or dropped; false after the time-out.
    bool waitForRequests(size_t n, int timeoutMilliseconds) const;

private:
    class Impl;
    std::unique_ptr<Impl> fImpl;
};

} // namespace SimNetwork
