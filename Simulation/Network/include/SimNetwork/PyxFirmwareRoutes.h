#pragma once

// What the firmware server offers the Pyx: the version reply at "/api/device/Pyx/firmware", naming
// an image under "/fw/", and the image bytes with their length.

#include <SimNetwork/FirmwareServer.h>

#include <cstdint>
#include <string>
#include <vector>

namespace SimNetwork::PyxRoutes {

constexpr const char* kHost = "firmware.vork.example";
constexpr const char* kVersionPath = "/api/device/Pyx/firmware";

// "/fw/<name>".
std::string imagePath(const std::string& name);
// The image's address on the server's host over plain HTTP.
std::string imageAddress(const std::string& name);
// {"version": "<version>", "image": "<address>"}, one blank after each colon.
std::string versionReply(const std::string& version, const std::string& address);
// Both routes: the version reply naming /fw/<name>, and the image there.
void offer(FirmwareServer& server, const std::string& version, const std::vector<uint8_t>& image,
           const std::string& name = "pyx.update");
// A loopback port that was bound and closed again, so connections to it are refused.
uint16_t closedPort();

} // namespace SimNetwork::PyxRoutes
