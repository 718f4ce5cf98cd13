#include "MixerEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace SimNetwork {

namespace {

constexpr size_t kLargestDatagram = 65507;

} // namespace

MixerEndpoint::MixerEndpoint(LoopbackAddress address, uint16_t listenerPort, Identity identity)
    : fAddress(address), fListenerPort(listenerPort)
{
    fAnnouncement = {{"model", "TideProxy-" + identity.model},
                     {"ip", identity.ip},
                     {"serial", identity.serial},
                     {"name", identity.name}};
    if (identity.deviceName) {
        fAnnouncement["deviceName"] = *identity.deviceName;
    }
    fSocket = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = fAddress.networkOrder();
    if (fSocket < 0 || bind(fSocket, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
        if (fSocket >= 0) {
            close(fSocket);
        }
        throw std::runtime_error("MixerEndpoint: cannot bind " + fAddress.text());
    }
}

MixerEndpoint::~MixerEndpoint()
{
    goSilent();
    close(fSocket);
}

nlohmann::json MixerEndpoint::announcement() const
{
    std::lock_guard lock(fLock);
    return fAnnouncement;
}

void MixerEndpoint::announce()
{
    sendRaw(announcement().dump());
}

void MixerEndpoint::startAnnouncing(std::chrono::milliseconds period)
{
    goSilent();
    std::lock_guard lock(fLock);
    fPeriod = period;
    fAnnouncing = true;
    scheduleNext();
}

void MixerEndpoint::scheduleNext()
{
    const uint64_t deadline = DarwinClock::addSaturating(
        DarwinClock::hostNow(), static_cast<uint64_t>(std::chrono::nanoseconds(fPeriod).count()));
    fAlarm = DarwinClock::scheduleAlarm(
        deadline,
        [this] {
            announce();
            std::lock_guard lock(fLock);
            if (fAnnouncing) {
                scheduleNext();
            }
        },
        "MixerEndpoint announcement");
}

void MixerEndpoint::goSilent()
{
    DarwinClock::AlarmId alarm;
    {
        std::lock_guard lock(fLock);
        fAnnouncing = false;
        alarm = fAlarm;
        fAlarm = 0;
    }
    if (alarm != 0) {
        DarwinClock::cancelAlarm(alarm);
    }
}

void MixerEndpoint::rename(const std::string& deviceName)
{
    setField("deviceName", deviceName);
}

void MixerEndpoint::setNetworkControl(bool enabled)
{
    setField("networkControl", enabled ? nlohmann::json("enabled") : nlohmann::json());
}

void MixerEndpoint::goodbye()
{
    nlohmann::json farewell = announcement();
    farewell["status"] = "disconnected";
    sendRaw(farewell.dump());
}

void MixerEndpoint::setField(const std::string& key, const nlohmann::json& value)
{
    std::lock_guard lock(fLock);
    if (value.is_null()) {
        fAnnouncement.erase(key);
    } else {
        fAnnouncement[key] = value;
    }
}

void MixerEndpoint::sendRaw(const std::string& bytes)
{
    sockaddr_in listener{};
    listener.sin_family = AF_INET;
    listener.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener.sin_port = htons(fListenerPort);
    const std::string datagram = bytes.substr(0, kLargestDatagram);
    sendto(fSocket, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&listener),
           sizeof listener);
    std::lock_guard lock(fLock);
    fSent.push_back({datagram, DarwinClock::hostNow()});
}

void MixerEndpoint::sendOversized(size_t size)
{
    std::string datagram = announcement().dump();
    datagram.insert(datagram.size() - 1,
                    std::string(size > datagram.size() ? size - datagram.size() : 0, ' '));
    sendRaw(datagram);
}

void MixerEndpoint::sendEmpty()
{
    sendRaw("");
}

void MixerEndpoint::flood(size_t count)
{
    const std::string datagram = announcement().dump();
    for (size_t i = 0; i < count; ++i) {
        sendRaw(datagram);
    }
}

std::vector<MixerEndpoint::Datagram> MixerEndpoint::sent() const
{
    std::lock_guard lock(fLock);
    return fSent;
}

} // namespace SimNetwork
