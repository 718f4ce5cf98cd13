#include <SimNetwork/FirmwareServer.h>
#include <SimNetwork/LoopbackListener.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>

namespace SimNetwork {

namespace {

constexpr size_t kMaximumRequestHead = 65536;
constexpr int kPollMilliseconds = 20;

const char* reasonOf(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// One accepted connection, plain or TLS.
class Connection
{
public:
    Connection(int fd, SSL_CTX* tls) : fFd(fd)
    {
        if (tls) {
            fSsl = SSL_new(tls);
            SSL_set_fd(fSsl, fd);
        }
    }
    ~Connection()
    {
        if (fSsl) {
            SSL_free(fSsl);
        }
    }

    bool handshake() { return !fSsl || SSL_accept(fSsl) == 1; }
    long read(char* buffer, size_t size)
    {
        return fSsl ? SSL_read(fSsl, buffer, int(size)) : ::recv(fFd, buffer, size, 0);
    }
    bool write(const char* data, size_t size)
    {
        while (size > 0) {
            const long written =
                fSsl ? SSL_write(fSsl, data, int(size)) : ::send(fFd, data, size, MSG_NOSIGNAL);
            if (written <= 0) {
                return false;
            }
            data += written;
            size -= size_t(written);
        }
        return true;
    }
    void close()
    {
        if (fSsl) {
            SSL_shutdown(fSsl);
        }
        ::shutdown(fFd, SHUT_RDWR);
    }

private:
    int fFd;
    SSL* fSsl = nullptr;
};

} // namespace

class FirmwareServer::Impl
{
public:
    explicit Impl(std::optional<ServerCertificate> tls)
    {
        if (tls) {
            fTls = SSL_CTX_new(TLS_server_method());
            const std::unique_ptr<BIO, decltype(&BIO_free)> certificate(
                BIO_new_mem_buf(tls->certificatePem.data(), int(tls->certificatePem.size())), &BIO_free);
            const std::unique_ptr<BIO, decltype(&BIO_free)> key(
                BIO_new_mem_buf(tls->keyPem.data(), int(tls->keyPem.size())), &BIO_free);
            X509* x509 = PEM_read_bio_X509(certificate.get(), nullptr, nullptr, nullptr);
            EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr);
            if (!x509 || !pkey || SSL_CTX_use_certificate(fTls, x509) != 1 ||
                SSL_CTX_use_PrivateKey(fTls, pkey) != 1) {
                throw std::runtime_error("the server's certificate does not load");
            }
            X509_free(x509);
            EVP_PKEY_free(pkey);
        }
        fPort = fListener.port();
        fAcceptThread = std::thread([this] { acceptLoop(); });
    }

    ~Impl()
    {
        fStopping = true;
        fAcceptThread.join();
        {
            std::lock_guard lock(fLock);
            for (const int fd : fOpen) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        for (std::thread& thread : fConnections) {
            thread.join();
        }
        if (fTls) {
            SSL_CTX_free(fTls);
        }
    }

    uint16_t fPort = 0;
    mutable std::mutex fLock;
    mutable std::condition_variable fChanged;
    std::map<std::string, std::vector<Reply>> fRoutes;
    std::map<std::string, size_t> fNextReply;
    std::vector<Request> fLog;
    size_t fFinished = 0;

private:
    void acceptLoop()
    {
        for (int fd; (fd = fListener.accept(fStopping)) >= 0;) {
            std::lock_guard lock(fLock);
            fOpen.insert(fd);
            fConnections.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd)
    {
        // A write to a client that has gone must fail, not end the process.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        {
            Connection connection(fd, fTls);
            if (connection.handshake()) {
                handle(connection, fd);
            }
            connection.close();
        }
        std::lock_guard lock(fLock);
        fOpen.erase(fd);
        ::close(fd);
        ++fFinished;
        fChanged.notify_all();
    }

    void handle(Connection& connection, int fd)
    {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaximumRequestHead) {
            const long got = connection.read(buffer, sizeof buffer);
            if (got <= 0) {
                return;
            }
            head.append(buffer, size_t(got));
        }
        Request request;
        const size_t lineEnd = head.find("\r\n");
        const std::string line = head.substr(0, lineEnd);
        const size_t firstSpace = line.find(' ');
        const size_t secondSpace = line.find(' ', firstSpace + 1);
        request.method = line.substr(0, firstSpace);
        request.path = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        const size_t hostAt = head.find("\r\nHost: ");
        if (hostAt != std::string::npos) {
            request.host = head.substr(hostAt + 8, head.find("\r\n", hostAt + 8) - hostAt - 8);
        }
        Reply reply;
        size_t index = 0;
        {
            std::lock_guard lock(fLock);
            const auto route = fRoutes.find(request.path);
            if (route == fRoutes.end() || route->second.empty()) {
                reply.status = 404;
            } else {
                size_t& next = fNextReply[request.path];
                reply = route->second[std::min(next, route->second.size() - 1)];
                ++next;
            }
            request.status = reply.silent || reply.closeWithoutStatus ? 0 : reply.status;
            fLog.push_back(request);
            index = fLog.size() - 1;
        }
        if (reply.silent) {
            // Until the client gives up or the server stops.
            while (!fStopping) {
                pollfd poller{fd, POLLIN | POLLRDHUP, 0};
                if (::poll(&poller, 1, kPollMilliseconds) > 0) {
                    break;
                }
            }
            return;
        }
        if (reply.closeWithoutStatus) {
            return;
        }
        const bool sent = send(connection, reply, index);
        std::lock_guard lock(fLock);
        fLog[index].clientClosedEarly = !sent;
    }

    bool send(Connection& connection, const Reply& reply, size_t index)
    {
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonOf(reply.status) + "\r\n";
        if (reply.chunked) {
            head += "Transfer-Encoding: chunked\r\n";
        } else if (!reply.streamWithoutLength) {
            head += "Content-Length: " + std::to_string(reply.declaredLength.value_or(reply.body.size())) +
                    "\r\n";
        }
        for (const auto& [name, value] : reply.headers) {
            head += name + ": " + value + "\r\n";
        }
        head += "Connection: close\r\n\r\n";
        if (!connection.write(head.data(), head.size())) {
            return false;
        }
        const uint64_t total = reply.streamWithoutLength.value_or(reply.body.size());
        uint64_t sent = 0;
        const size_t largest = reply.throttleBytes.value_or(reply.body.size());
        while (sent < total && !reply.body.empty()) {
            const size_t at = size_t(sent % reply.body.size());
            const size_t piece =
                size_t(std::min<uint64_t>({reply.body.size() - at, total - sent, uint64_t(largest)}));
            if (sent > 0 && reply.throttleBytes) {
                std::this_thread::sleep_for(std::chrono::milliseconds(reply.throttleMilliseconds));
            }
            if (!writePiece(connection, reply.chunked, reply.body.data() + at, piece)) {
                return false;
            }
            sent += piece;
            std::lock_guard lock(fLock);
            fLog[index].bodyBytesSent = sent;
        }
        return !reply.chunked || connection.write("0\r\n\r\n", 5);
    }

    static bool writePiece(Connection& connection, bool chunked, const char* data, size_t size)
    {
        if (!chunked) {
            return connection.write(data, size);
        }
        char prefix[32];
        const int length = std::snprintf(prefix, sizeof prefix, "%zx\r\n", size);
        return connection.write(prefix, size_t(length)) && connection.write(data, size) &&
               connection.write("\r\n", 2);
    }

    SSL_CTX* fTls = nullptr;
    LoopbackListener fListener{16};
    std::atomic<bool> fStopping{false};
    std::thread fAcceptThread;
    std::vector<std::thread> fConnections;
    std::set<int> fOpen;
};

FirmwareServer::FirmwareServer(std::optional<ServerCertificate> tls)
    : fImpl(std::make_unique<Impl>(std::move(tls)))
{}

FirmwareServer::~FirmwareServer() = default;

uint16_t FirmwareServer::port() const
{
    return fImpl->fPort;
}

void FirmwareServer::setRoute(const std::string& path, std::vector<Reply> script)
{
    std::lock_guard lock(fImpl->fLock);
    fImpl->fRoutes[path] = std::move(script);
    fImpl->fNextReply[path] = 0;
}

std::vector<FirmwareServer::Request> FirmwareServer::log() const
{
    std::lock_guard lock(fImpl->fLock);
    return fImpl->fLog;
}

bool FirmwareServer::waitForRequests(size_t n, int timeoutMilliseconds) const
{
    std::unique_lock lock(fImpl->fLock);
    return fImpl->fChanged.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                                    [&] { return fImpl->fFinished >= n; });
}

} // namespace SimNetwork
