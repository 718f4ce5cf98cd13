#include <KorvanInterface/RuleChecker.h>

#include <KorvanInterface/Identity.h>

#include <SimUSB/Setup.h>

#include <algorithm>
#include <map>
#include <set>

namespace KorvanInterface {

namespace {

struct Descriptor
{
    size_t offset;
    const uint8_t* bytes;
    uint8_t length;
    uint8_t type;
    uint8_t subtype; // class-specific descriptors only
    int interface;   // the interface it belongs to, -1 before the first
    int alternate;
};

class Checker
{
public:
    explicit Checker(std::span<const uint8_t> configuration) : fBytes(configuration) {}

    std::vector<std::string> run()
    {
        if (!split()) {
            return fBroken;
        }
        checkLengths();
        checkTotals();
        checkEndpointAddresses();
        checkEntities();
        checkStreaming();
        return fBroken;
    }

private:
    void broke(const char* rule)
    {
        if (std::find(fBroken.begin(), fBroken.end(), rule) == fBroken.end()) {
            fBroken.emplace_back(rule);
        }
    }

    static uint16_t word(const uint8_t* at) { return uint16_t(at[0] | at[1] << 8); }

    // Walks the descriptors; a length that cannot be walked ends the check.
    bool split()
    {
        if (fBytes.size() < 9 || fBytes[1] != SimUSB::DescriptorType::kConfiguration) {
            broke("bLength");
            return false;
        }
        int interface = -1;
        int alternate = -1;
        for (size_t at = 0; at < fBytes.size();) {
            const uint8_t length = fBytes[at];
            if (length < 2 || at + length > fBytes.size()) {
                broke("bLength");
                return false;
            }
            const uint8_t type = fBytes[at + 1];
            if (type == SimUSB::DescriptorType::kInterface && length >= 4) {
                interface = fBytes[at + 2];
                alternate = fBytes[at + 3];
            }
            const uint8_t subtype = length >= 3 ? fBytes[at + 2] : 0;
            fDescriptors.push_back({at, &fBytes[at], length, type, subtype, interface, alternate});
            at += length;
        }
        return true;
    }

    bool isControl(const Descriptor& d) const { return d.interface == 0; }

    void checkLengths()
    {
        for (const Descriptor& d : fDescriptors) {
            size_t expected = d.length;
            switch (d.type) {
            case SimUSB::DescriptorType::kConfiguration:
            case SimUSB::DescriptorType::kInterface:
                expected = 9;
                break;
            case SimUSB::DescriptorType::kEndpoint:
                expected = 7;
                break;
            case SimUSB::DescriptorType::kInterfaceAssociation:
                expected = 8;
                break;
            case SimUSB::DescriptorType::kClassEndpoint:
                expected = 8;
                break;
            case SimUSB::DescriptorType::kClassInterface:
                expected = classInterfaceLength(d);
                break;
            default:
                break;
            }
            if (d.length != expected) {
                broke("bLength");
            }
        }
    }

    size_t classInterfaceLength(const Descriptor& d) const
    {
        if (isControl(d)) {
            switch (d.subtype) {
            case 0x01:
                return 9;
            case 0x02:
                return 17;
            case 0x03:
                return 12;
            case 0x0A:
                return 8;
            case 0x0B:
                return d.length >= 5 ? 7 + size_t(d.bytes[4]) : 7;
            case 0x06:
                return d.length >= 10 && (d.length - 6) % 4 == 0 ? d.length : 0;
            default:
                return d.length;
            }
        }
        switch (d.subtype) {
        case 0x01:
            return 16;
        case 0x02:
            return 6;
        default:
            return d.length;
        }
    }

    void checkTotals()
    {
        if (word(&fBytes[2]) != fBytes.size()) {
            broke("wTotalLength");
        }
        std::set<int> interfaces;
        for (const Descriptor& d : fDescriptors) {
            if (d.type == SimUSB::DescriptorType::kInterface) {
                interfaces.insert(d.interface);
            }
        }
        if (fBytes[4] != interfaces.size()) {
            broke("bNumInterfaces");
        }
        // The AC header counts itself and every class-specific descriptor of the control interface.
        size_t header = 0;
        size_t classSpecific = 0;
        for (const Descriptor& d : fDescriptors) {
            if (isControl(d) && d.type == SimUSB::DescriptorType::kClassInterface) {
                if (d.subtype == 0x01 && d.length >= 8 && header == 0) {
                    header = word(d.bytes + 6);
                }
                classSpecific += d.length;
            }
        }
        if (header != classSpecific) {
            broke("AC header wTotalLength");
        }
    }

    void checkEndpointAddresses()
    {
        std::map<std::pair<int, int>, std::set<uint8_t>> seen;
        for (const Descriptor& d : fDescriptors) {
            if (d.type == SimUSB::DescriptorType::kEndpoint && d.length >= 7) {
                if (!seen[{d.interface, d.alternate}].insert(d.bytes[2]).second) {
                    broke("endpoint addresses");
                }
            }
        }
    }

    void checkEntities()
    {
        std::map<uint8_t, const Descriptor*> entities;
        for (const Descriptor& d : fDescriptors) {
            if (!isControl(d) || d.type != SimUSB::DescriptorType::kClassInterface || d.subtype == 0x01 ||
                d.length < 4) {
                continue;
            }
            const uint8_t id = d.bytes[3];
            if (id < 2 || !entities.emplace(id, &d).second) {
                broke("entity ids");
            }
        }
        fEntities = entities;
        auto isClock = [&](uint8_t id) {
            auto found = entities.find(id);
            return found != entities.end() &&
                   (found->second->subtype == 0x0A || found->second->subtype == 0x0B);
        };
        for (const auto& [id, d] : entities) {
            switch (d->subtype) {
            case 0x02:
                if (d->length >= 8 && !isClock(d->bytes[7])) {
                    broke("entity ids");
                }
                break;
            case 0x03:
                if (d->length >= 9 && (!entities.count(d->bytes[7]) || !isClock(d->bytes[8]))) {
                    broke("entity ids");
                }
                break;
            case 0x06:
                if (d->length >= 5 && !entities.count(d->bytes[4])) {
                    broke("entity ids");
                }
                break;
            case 0x0B:
                for (size_t pin = 0; d->length >= 5 && pin < d->bytes[4] && 5 + pin < d->length; ++pin) {
                    if (!isClock(d->bytes[5 + pin])) {
                        broke("entity ids");
                    }
                }
                break;
            default:
                break;
            }
        }
    }

    // The channels a terminal's cluster carries: an input terminal's own, an output terminal's source's.
    unsigned terminalChannels(uint8_t id, int depth = 0) const
    {
        auto found = fEntities.find(id);
        if (found == fEntities.end() || depth > 8) {
            return 0;
        }
        const Descriptor& d = *found->second;
        if (d.subtype == 0x02 && d.length >= 9) {
            return d.bytes[8];
        }
        if ((d.subtype == 0x03 && d.length >= 8) || (d.subtype == 0x06 && d.length >= 5)) {
            return terminalChannels(d.subtype == 0x03 ? d.bytes[7] : d.bytes[4], depth + 1);
        }
        return 0;
    }

    void checkStreaming()
    {
        for (size_t i = 0; i < fDescriptors.size(); ++i) {
            const Descriptor& d = fDescriptors[i];
            if (d.type != SimUSB::DescriptorType::kInterface || d.length < 9 || d.bytes[5] != 1 ||
                d.bytes[6] != 2 || d.alternate == 0) {
                continue;
            }
            const Descriptor* general = nullptr;
            const Descriptor* format = nullptr;
            const Descriptor* data = nullptr;
            for (size_t j = i + 1;
                 j < fDescriptors.size() && fDescriptors[j].type != SimUSB::DescriptorType::kInterface; ++j) {
                const Descriptor& e = fDescriptors[j];
                if (e.type == SimUSB::DescriptorType::kClassInterface && e.subtype == 0x01 &&
                    e.length >= 16) {
                    general = &e;
                } else if (e.type == SimUSB::DescriptorType::kClassInterface && e.subtype == 0x02 &&
                           e.length >= 6) {
                    format = &e;
                } else if (e.type == SimUSB::DescriptorType::kEndpoint && e.length >= 7 &&
                           (e.bytes[3] & 3) == 1 && (e.bytes[3] & 0x30) != 0x10 && data == nullptr) {
                    data = &e;
                }
            }
            if (general == nullptr || format == nullptr || data == nullptr) {
                broke("max packet");
                continue;
            }
            auto link = fEntities.find(general->bytes[3]);
            if (link == fEntities.end() || link->second->length < 6 ||
                word(link->second->bytes + 4) != 0x0101) {
                broke("bTerminalLink");
            } else if (general->bytes[10] > terminalChannels(general->bytes[3])) {
                broke("channel counts");
            }
            const uint8_t subslot = format->bytes[4];
            if (subslot < 1 || subslot > 4 || format->bytes[5] > 8 * subslot) {
                broke("format");
            }
            if (d.alternate > 3) {
                continue;
            }
            const uint16_t maxPacket = word(data->bytes + 4);
            const bool in = (data->bytes[2] & 0x80) != 0;
            const uint32_t frames = framesPerMicroframeBound(Family(d.alternate - 1));
            const uint32_t needed = frames * general->bytes[10] * subslot + (in ? 5 : 0);
            const uint32_t bytes = uint32_t(maxPacket & 0x7FF) * (((maxPacket >> 11) & 3) + 1);
            if (((maxPacket >> 11) & 3) == 3 || bytes > 3072 || bytes < needed || bytes < 5) {
                broke("max packet");
            }
        }
    }

    std::span<const uint8_t> fBytes;
    std::vector<Descriptor> fDescriptors;
    std::map<uint8_t, const Descriptor*> fEntities;
    std::vector<std::string> fBroken;
};

} // namespace

std::vector<std::string> brokenRules(std::span<const uint8_t> configuration)
{
    return Checker(configuration).run();
}

} // namespace KorvanInterface
