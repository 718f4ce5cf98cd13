// Objects of any shape handed to the daemon's peer handler on a live peer, with one held interface
// on the bus. Input: a tree of XPC objects, one tag byte each (low 3 bits):
//   0 dictionary: count byte, then per entry a key (length byte and bytes; length 0 names
//     "kProxyMessageTypeKey") and a value
//   1 uint64, 2 int64: 8 bytes, little-endian
//   3 string: length byte and bytes
//   4 array: count byte and values
//   5 error: the next byte picks "Connection interrupted" or "Connection invalid"
//   6 bool: one byte
//   7 data: length byte and bytes
// Containers nest 4 deep at most and hold 64 entries in all; missing bytes read as 0.
//
// Checked: a re-enumeration happens exactly when the object is a dictionary whose uint64 under
// the key reads 0, and the peer is cancelled exactly when the object is not an error.

#include "CapturedPeer.h"
#include "ReenumeratorTestSupport.h"
#include "Server.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace ReenumeratorTesting;

constexpr uint8_t kPort = 1;
constexpr int kMaxDepth = 4;
constexpr int kMaxEntries = 64;
constexpr const char* kKey = "kProxyMessageTypeKey";

class Decoder
{
public:
    Decoder(const uint8_t* data, size_t size) : fData(data), fSize(size) {}

    xpc_object_t object(int depth)
    {
        switch (byte() & 7) {
        case 0:
            return dictionary(depth);
        case 1:
            return xpc_uint64_create(word());
        case 2:
            return xpc_int64_create(int64_t(word()));
        case 3:
            return xpc_string_create(text().c_str());
        case 4:
            return array(depth);
        case 5:
            return xpc_retain(byte() % 2 ? XPC_ERROR_CONNECTION_INVALID : XPC_ERROR_CONNECTION_INTERRUPTED);
        case 6:
            return xpc_bool_create(byte() != 0);
        default: {
            const std::string bytes = text();
            return xpc_data_create(bytes.data(), bytes.size());
        }
        }
    }

private:
    uint8_t byte() { return fAt < fSize ? fData[fAt++] : 0; }

    uint64_t word()
    {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 8) {
            value |= uint64_t(byte()) << shift;
        }
        return value;
    }

    std::string text()
    {
        std::string result;
        for (uint8_t length = byte(); length > 0 && fAt < fSize; --length) {
            const char c = char(byte());
            result += c != '\0' ? c : '?';
        }
        return result;
    }

    // How many entries a container of this depth may take.
    size_t entries(int depth)
    {
        const size_t wanted = byte();
        if (depth >= kMaxDepth) {
            return 0;
        }
        const size_t allowed = std::min<size_t>(wanted, size_t(kMaxEntries - fEntries));
        fEntries += int(allowed);
        return allowed;
    }

    xpc_object_t dictionary(int depth)
    {
        xpc_object_t dictionary = xpc_dictionary_create(nullptr, nullptr, 0);
        for (size_t count = entries(depth); count > 0; --count) {
            std::string key = text();
            if (key.empty()) {
                key = kKey;
            }
            xpc_object_t value = object(depth + 1);
            xpc_dictionary_set_value(dictionary, key.c_str(), value);
            xpc_release(value);
        }
        return dictionary;
    }

    xpc_object_t array(int depth)
    {
        xpc_object_t array = xpc_array_create(nullptr, 0);
        for (size_t count = entries(depth); count > 0; --count) {
            xpc_object_t value = object(depth + 1);
            xpc_array_append_value(array, value);
            xpc_release(value);
        }
        return array;
    }

    const uint8_t* fData;
    size_t fSize;
    size_t fAt = 0;
    int fEntries = 0;
};

// The held interface stays on the bus for the whole run, held again whenever it comes back.
struct Setting
{
    Setting()
    {
        bus.script().setReEnumerationDelay(0);
        bus.attach(kPort, kVendor, kWrenlet);
        bus.bindClassDriver(kPort);
    }

    PlugInTesting::LogLines log;
    TestBus bus;
    Rebinder rebinder{bus};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Setting* setting = new Setting;
    xpc_object_t object = Decoder(data, size).object(0);
    const bool isError = xpc_get_type(object) == XPC_TYPE_ERROR;
    const bool readsZero =
        xpc_get_type(object) == XPC_TYPE_DICTIONARY && xpc_dictionary_get_uint64(object, kKey) == 0;
    const size_t before = setting->bus.script().reEnumerations().size();
    {
        CapturedPeer peer;
        Server::HandlePeerEvent(peer.peer(), object);
        if (setting->bus.script().reEnumerations().size() != before + (readsZero ? 1 : 0)) {
            std::abort();
        }
        if (isError) {
            // Still served: the client's next message reaches the peer, and nothing reached the client.
            if (!peer.sendToPeer() || peer.clientEventCount() != 0) {
                std::abort();
            }
        } else if (peer.firstClientEvent() != XPC_ERROR_CONNECTION_INTERRUPTED) {
            std::abort();
        }
    }
    xpc_release(object);
    return 0;
}
