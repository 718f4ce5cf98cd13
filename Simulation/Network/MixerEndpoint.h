#pragma once

// A network proxy of an audio interface as the mixer hears it: it announces itself by UDP
// datagrams from its own loopback address to the listener's port on 127.0.0.1, and can be told to
// misbehave (garbage, oversized or empty datagrams, spoofed identities, floods). Every datagram it
// sent is kept with its bytes and the host time it was sent.

#include "LoopbackAddress.h"

#include <nlohmann/json.hpp>

#include <Darwin/Clock.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace SimNetwork {

class MixerEndpoint
{
public:
    struct Identity
    {
        std::string model = "Brio"; // announced as "TideProxy-<model>"
        std::string serial{};
        std::string name{}; // the host name
        std::string ip = "<src_ip>:8080";
        std::optional<std::string> deviceName{};
    };

    struct Datagram
    {
        std::string fBytes;
        uint64_t fHostTime;
    };

    // Binds its address; throws std::runtime_error when it cannot.
    MixerEndpoint(LoopbackAddress address, uint16_t listenerPort, Identity identity);
    ~MixerEndpoint();

    MixerEndpoint(const MixerEndpoint&) = delete;
    MixerEndpoint& operator=(const MixerEndpoint&) = delete;

    // The announcement as it stands.
    nlohmann::json announcement() const;
    void announce();
    // Announces every period, timed by the process clock's alarms (so it follows the manual clock).
    void startAnnouncing(std::chrono::milliseconds period);
    void goSilent();

    void rename(const std::string& deviceName);
    void setNetworkControl(bool enabled);
    // Announces "status": "disconnected" once.
    void goodbye();
    // Sets or removes ("null" value) any key of the announcement, spoofing included.
    void setField(const std::string& key, const nlohmann::json& value);

    void sendRaw(const std::string& bytes);
    // A valid announcement padded with blanks to `size` bytes (at most 65,507).
    void sendOversized(size_t size);
    void sendEmpty();
    // `count` announcements, back to back.
    void flood(size_t count);

    std::vector<Datagram> sent() const;
    const LoopbackAddress& address() const { return fAddress; }

private:
    void scheduleNext();

    const LoopbackAddress fAddress;
    const uint16_t fListenerPort;
    int fSocket = -1;
    mutable std::mutex fLock;
    nlohmann::json fAnnouncement;
    std::vector<Datagram> fSent;
    std::chrono::milliseconds fPeriod{0};
    DarwinClock::AlarmId fAlarm = 0;
    bool fAnnouncing = false;
};

} // namespace SimNetwork
