#pragma once

// What a device model implements. The bus calls it from the thread of the transfer: control
// requests on the caller's thread without any bus lock held; endpoint handlers on the bus's
// transfer worker with the bus's lock held, so they must not call the bus. A model guards its own
// state, since both kinds of call, and the test that drives it, run at once.

#include <SimUSB/Setup.h>
#include <SimUSB/Status.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace SimUSB {

class BusCore;

// A model's answer to a control request.
struct ControlAnswer
{
    enum class Kind
    {
        Data,  // the data stage (device to host), cut to wLength by the bus
        Ack,   // a status stage without data
        Stall, // a STALL handshake
        Hang,  // no answer at all
    };

    Kind kind = Kind::Stall;
    std::vector<uint8_t> data;
    // The answer comes this long after the request; a host time-out may come first.
    uint64_t delay = 0;

    static ControlAnswer withData(std::vector<uint8_t> bytes) { return {Kind::Data, std::move(bytes), 0}; }
    static ControlAnswer ack() { return {Kind::Ack, {}, 0}; }
    static ControlAnswer stall() { return {Kind::Stall, {}, 0}; }
    static ControlAnswer hang() { return {Kind::Hang, {}, 0}; }
};

// An IN handler's packet: `length` bytes written into the space it was given, a failure status for
// this packet, or nothing yet (interrupt and bulk endpoints only).
struct InPacket
{
    bool ready = false;
    size_t length = 0;
    Status status = kSuccess;

    static InPacket none() { return {}; }
    static InPacket bytes(size_t length) { return {true, length, kSuccess}; }
    static InPacket failed(Status status) { return {true, 0, status}; }
};

class Device
{
public:
    virtual ~Device();

    // Descriptors as the model serves them, byte for byte, malformed ones included. The bus reads
    // them through GET_DESCRIPTOR like any host; `answerGetDescriptor` builds that answer.
    virtual std::vector<uint8_t> deviceDescriptor() = 0;
    virtual std::vector<uint8_t> configurationDescriptor(uint8_t index) = 0;
    virtual std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index, uint16_t language) = 0;

    virtual ControlAnswer control(const SetupPacket& setup, std::span<const uint8_t> data) = 0;

    // Interrupt and bulk IN: the next packet into `space`, or nothing yet.
    virtual InPacket in(uint8_t endpoint, std::span<uint8_t> space);
    // Interrupt and bulk OUT.
    virtual void out(uint8_t endpoint, std::span<const uint8_t> bytes);
    // Isochronous IN: the packet for `microframe`.
    virtual InPacket isochronousIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> space);
    // Isochronous OUT: the packet the host sent in `microframe`.
    virtual void isochronousOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> bytes);

    // Events, after the model has acknowledged the request that caused them.
    virtual void addressSet(uint8_t address);
    virtual void configurationSet(uint8_t value);
    virtual void interfaceSet(uint8_t interface, uint8_t alternate);
    virtual void detached();

    // Enumeration leaves the device at configuration 0, as a host does when no driver claims it; the
    // host sets a configuration itself. Read at each enumeration.
    void setEnumeratedUnconfigured(bool unconfigured);
    bool enumeratedUnconfigured() const;

protected:
    // The standard GET_DESCRIPTOR answer from the three descriptor functions: a STALL for what the
    // model does not have.
    ControlAnswer answerGetDescriptor(const SetupPacket& setup);

    // Requests to the bus, carried out on its event thread. They do nothing while the model is not
    // attached.
    void disconnect();
    // Detaches now and attaches again after `delay` ns, as `replacement` when one is given.
    void reEnumerate(uint64_t delay, std::shared_ptr<Device> replacement = nullptr);

private:
    friend class BusCore;

    // The bus the model is attached to and its port there; no bus while it is not attached.
    std::pair<std::shared_ptr<BusCore>, uint8_t> link();

    std::atomic<bool> fUnconfigured = false;
    std::mutex fLinkLock;
    std::weak_ptr<BusCore> fBus;
    uint8_t fPort = 0;
};

} // namespace SimUSB
