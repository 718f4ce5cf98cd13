// The firmware server's info document: a JSON array whose first element names the image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The "image" URL of the reply, when the reply is one the updater takes: status 200, a body that
// parses as JSON, a non-empty array whose first element is an object with a string member "image"
// that begins with "https://".
std::optional<std::string> ImageURLFromInfo(long statusCode, const std::vector<uint8_t>& body);
