// The firmware server model, fetched by curl as an independent client: the generic scripts, and the
// routes it offers the Pyx.
#include <SimNetwork/FirmwareServer.h>
#include <SimNetwork/PyxFirmwareRoutes.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>

using SimNetwork::FirmwareServer;

namespace {

const std::string kHost = "firmware.vork.example";

class Scratch
{
public:
    Scratch()
    {
        char pattern[] = "/tmp/firmware-server-XXXXXX";
        fPath = mkdtemp(pattern);
    }
    ~Scratch() { std::filesystem::remove_all(fPath); }
    std::string path(const std::string& name) const { return fPath + "/" + name; }
    void write(const std::string& name, const std::string& text) const { std::ofstream(path(name)) << text; }
    std::string read(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string fPath;
};

struct Fetched
{
    int exitCode;
    std::string status;
    std::string body;
};

// curl with the host mapped to the server's port; HTTPS trusts the given authority file.
Fetched curl(const Scratch& scratch, const std::string& url, uint16_t port, const std::string& options = "")
{
    const int defaultPort = url.rfind("https://", 0) == 0 ? 443 : 80;
    const std::string command = "curl -s -o " + scratch.path("body") + " -w '%{http_code}' --connect-to " +
                                kHost + ":" + std::to_string(defaultPort) +
                                ":127.0.0.1:" + std::to_string(port) + " " + options + " '" + url + "' > " +
                                scratch.path("status");
    std::filesystem::remove(scratch.path("body"));
    const int result = std::system(command.c_str());
    return {WIFEXITED(result) ? WEXITSTATUS(result) : -1, scratch.read("status"), scratch.read("body")};
}

std::string binaryBody(size_t size)
{
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        body[i] = char(i * 13 + 1);
    }
    return body;
}

TEST(FirmwareServer, AnswersEveryRouteOverHttp)
{
    FirmwareServer server;
    const std::string info = R"([{"image":"https://firmware.vork.example/images/wrenlet.xz"}])";
    server.setRoute("/api/device/wrenlet-k/firmware", {{.body = info}});
    server.setRoute("/moved",
                    {{.status = 302, .headers = {{"Location", "https://firmware.vork.example/images/a"}}}});
    server.setRoute("/error", {{.status = 500, .body = "no"}});
    server.setRoute("/script", {{.body = "first"}, {.status = 404, .body = "then"}});
    const Scratch scratch;
    const struct
    {
        std::string path;
        std::string status, body;
    } rows[] = {
        {"/api/device/wrenlet-k/firmware", "200", info},
        {"/moved", "302", ""},
        {"/error", "500", "no"},
        {"/script", "200", "first"},
        {"/script", "404", "then"},
        {"/script", "404", "then"},
        {"/nothing", "404", ""},
    };
    for (const auto& row : rows) {
        const Fetched fetched = curl(scratch, "http://" + kHost + row.path, server.port());
        EXPECT_EQ(fetched.exitCode, 0) << row.path;
        EXPECT_EQ(fetched.status, row.status) << row.path;
        EXPECT_EQ(fetched.body, row.body) << row.path;
    }
    ASSERT_TRUE(server.waitForRequests(std::size(rows), 5000));
    const auto log = server.log();
    ASSERT_EQ(log.size(), std::size(rows));
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, "/api/device/wrenlet-k/firmware");
    EXPECT_EQ(log[0].host, kHost);
    EXPECT_EQ(log[1].status, 302);
}

TEST(FirmwareServer, ServesHttpsToClientsThatTrustItsAuthority)
{
    const auto authority = SimNetwork::makeCertificateAuthority("Loopback Test Authority");
    const auto otherAuthority = SimNetwork::makeCertificateAuthority("Another Authority");
    FirmwareServer server(SimNetwork::makeServerCertificate(authority, kHost));
    FirmwareServer wrongName(SimNetwork::makeServerCertificate(authority, "other.vork.example"));
    const std::string image = binaryBody(300000);
    server.setRoute("/images/wrenlet.xz", {{.body = image}});
    wrongName.setRoute("/images/wrenlet.xz", {{.body = image}});
    const Scratch scratch;
    scratch.write("ca.pem", authority.certificatePem);
    scratch.write("other.pem", otherAuthority.certificatePem);
    const std::string url = "https://" + kHost + "/images/wrenlet.xz";

    const Fetched trusted = curl(scratch, url, server.port(), "--cacert " + scratch.path("ca.pem"));
    EXPECT_EQ(trusted.exitCode, 0);
    EXPECT_EQ(trusted.status, "200");
    EXPECT_TRUE(trusted.body == image);
    // 60: the peer's certificate cannot be verified.
    EXPECT_EQ(curl(scratch, url, server.port(), "--cacert " + scratch.path("other.pem")).exitCode, 60);
    EXPECT_EQ(curl(scratch, url, wrongName.port(), "--cacert " + scratch.path("ca.pem")).exitCode, 60);
}

TEST(FirmwareServer, MisbehavesAsScripted)
{
    FirmwareServer server;
    server.setRoute("/truncated", {{.body = "short", .declaredLength = 100}});
    server.setRoute("/endless", {{.body = binaryBody(4096), .streamWithoutLength = uint64_t(64) << 20}});
    server.setRoute("/silent", {{.silent = true}});
    const Scratch scratch;
    // 18: the transfer ended before the declared length.
    EXPECT_EQ(curl(scratch, "http://" + kHost + "/truncated", server.port()).exitCode, 18);
    // A reader that stops after 100,000 bytes closes the connection under the server.
    const std::string endless = "curl -s --connect-to " + kHost +
                                ":80:127.0.0.1:" + std::to_string(server.port()) + " http://" + kHost +
                                "/endless | head -c 100000 > /dev/null";
    EXPECT_EQ(std::system(endless.c_str()), 0);
    // 28: the client's time-out.
    EXPECT_EQ(curl(scratch, "http://" + kHost + "/silent", server.port(), "--max-time 0.5").exitCode, 28);
    ASSERT_TRUE(server.waitForRequests(3, 5000));
    const auto log = server.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[0].clientClosedEarly);
    EXPECT_TRUE(log[1].clientClosedEarly);
    EXPECT_LT(log[1].bodyBytesSent, uint64_t(64) << 20);
    EXPECT_EQ(log[2].status, 0);
}

} // namespace

namespace {

TEST(FirmwareServer, OffersThePyxVersionReplyAndImage)
{
    namespace Routes = SimNetwork::PyxRoutes;
    FirmwareServer server;
    const std::string image = binaryBody(200000);
    Routes::offer(server, "1.1.0+abcdefghijkl", std::vector<uint8_t>(image.begin(), image.end()));
    const Scratch scratch;
    const Fetched version = curl(scratch, "http://" + kHost + Routes::kVersionPath, server.port());
    EXPECT_EQ(version.status, "200");
    EXPECT_EQ(version.body,
              R"({"version": "1.1.0+abcdefghijkl", "image": "http://firmware.vork.example/fw/pyx.update"})");
    const Fetched fetched =
        curl(scratch, Routes::imageAddress("pyx.update"), server.port(), "-D " + scratch.path("head"));
    EXPECT_EQ(fetched.status, "200");
    EXPECT_TRUE(fetched.body == image);
    EXPECT_NE(scratch.read("head").find("Content-Length: 200000\r\n"), std::string::npos);
}

TEST(FirmwareServer, ChunkedThrottledAndStatuslessRepliesAndARefusedPort)
{
    namespace Routes = SimNetwork::PyxRoutes;
    FirmwareServer server;
    const std::string image = binaryBody(300000);
    server.setRoute("/fw/chunked", {{.body = image, .chunked = true}});
    server.setRoute("/fw/throttled", {{.body = image, .throttleBytes = 65536, .throttleMilliseconds = 50}});
    server.setRoute("/fw/closed", {{.closeWithoutStatus = true}});
    const Scratch scratch;
    const Fetched chunked =
        curl(scratch, "http://" + kHost + "/fw/chunked", server.port(), "-D " + scratch.path("head"));
    EXPECT_TRUE(chunked.body == image);
    const std::string head = scratch.read("head");
    EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Content-Length"), std::string::npos);
    EXPECT_TRUE(curl(scratch, "http://" + kHost + "/fw/throttled", server.port()).body == image);
    // 52: nothing came back; 7: the connection was refused.
    EXPECT_EQ(curl(scratch, "http://" + kHost + "/fw/closed", server.port()).exitCode, 52);
    EXPECT_EQ(curl(scratch, "http://" + kHost + "/fw/closed", Routes::closedPort()).exitCode, 7);
    ASSERT_TRUE(server.waitForRequests(3, 5000));
    const auto log = server.log();
    EXPECT_EQ(log[1].bodyBytesSent, image.size());
    EXPECT_EQ(log[2].status, 0);
}

} // namespace
