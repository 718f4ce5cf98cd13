#include "Announcement.h"

#include <nlohmann/json.hpp>

#include <array>

namespace {

constexpr std::string_view kModelMarker = "TideProxy-";

enum Key
{
    kModel,
    kIp,
    kSerial,
    kName,
    kStatus,
    kNetworkControl,
    kDeviceName,
    kKeyCount,
    kOtherKey = kKeyCount,
};

constexpr std::array<std::string_view, kKeyCount> kKeyNames = {
    "model", "ip", "serial", "name", "status", "networkControl", "deviceName"};

// The value last given to a key of the top-level object, as the whole document would keep it.
struct Value
{
    bool present = false;
    std::optional<std::string> text; // set only for a string
};

// Keeps the top-level object's string values of the seven keys, and nothing else.
class AnnouncementReader : public nlohmann::json_sax<nlohmann::json>
{
public:
    std::array<Value, kKeyCount> fValues;
    bool fIsObject = false;

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t) override { return scalar(); }
    bool number_unsigned(number_unsigned_t) override { return scalar(); }
    bool number_float(number_float_t, const string_t&) override { return scalar(); }
    bool binary(binary_t&) override { return scalar(); }

    bool string(string_t& value) override
    {
        if (fDepth == 1 && fKey != kOtherKey) {
            fValues[fKey] = Value{true, std::move(value)};
        }
        return fDepth > 0;
    }

    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& name) override
    {
        fKey = kOtherKey;
        for (size_t i = 0; i < kKeyNames.size(); ++i) {
            if (name == kKeyNames[i]) {
                fKey = static_cast<Key>(i);
            }
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

private:
    // A scalar at the top level is no object; inside the object it replaces the key's value.
    bool scalar()
    {
        if (fDepth == 1 && fKey != kOtherKey) {
            fValues[fKey] = Value{true, std::nullopt};
        }
        return fDepth > 0;
    }

    bool open(bool object)
    {
        if (fDepth == 0) {
            fIsObject = object;
        } else if (fDepth == 1 && fKey != kOtherKey) {
            fValues[fKey] = Value{true, std::nullopt};
        }
        ++fDepth;
        return fIsObject;
    }

    bool close()
    {
        --fDepth;
        return true;
    }

    size_t fDepth = 0;
    Key fKey = kOtherKey;
};

} // namespace

std::optional<Announcement> parseAnnouncement(std::string_view datagram)
{
    AnnouncementReader reader;
    if (!nlohmann::json::sax_parse(datagram, &reader) || !reader.fIsObject) {
        return std::nullopt;
    }
    auto& values = reader.fValues;
    for (Key required : {kModel, kIp, kSerial, kName}) {
        if (!values[required].text) {
            return std::nullopt;
        }
    }
    const std::string& model = *values[kModel].text;
    const size_t marker = model.find(kModelMarker);
    if (marker == std::string::npos) {
        return std::nullopt;
    }
    Announcement announcement;
    announcement.model = model.substr(marker + kModelMarker.size());
    announcement.ip = std::move(*values[kIp].text);
    announcement.serial = std::move(*values[kSerial].text);
    announcement.name = std::move(*values[kName].text);
    announcement.deviceName = values[kDeviceName].text.value_or("");
    announcement.networkControlEnabled = values[kNetworkControl].text == "enabled";
    announcement.disconnected = values[kStatus].text == "disconnected";
    return announcement;
}

void replaceSourcePlaceholder(std::string& datagram, std::string_view senderAddress)
{
    constexpr std::string_view kPlaceholder = "<src_ip>";
    for (size_t at = datagram.find(kPlaceholder); at != std::string::npos;
         at = datagram.find(kPlaceholder, at + senderAddress.size())) {
        datagram.replace(at, kPlaceholder.size(), senderAddress);
    }
}
