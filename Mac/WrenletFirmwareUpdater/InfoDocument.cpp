#include "InfoDocument.h"

#include <nlohmann/json.hpp>

std::optional<std::string> ImageURLFromInfo(long statusCode, const std::vector<uint8_t>& body)
{
    if (statusCode != 200 || body.empty()) {
        return std::nullopt;
    }
    const nlohmann::json reply = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (reply.is_discarded() || !reply.is_array() || reply.empty() || !reply[0].is_object()) {
        return std::nullopt;
    }
    const auto image = reply[0].find("image");
    if (image == reply[0].end() || !image->is_string()) {
        return std::nullopt;
    }
    const std::string& text = image->get_ref<const std::string&>();
    if (text.rfind("https://", 0) != 0) {
        return std::nullopt;
    }
    return text;
}
