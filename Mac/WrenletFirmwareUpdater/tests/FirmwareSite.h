// The firmware server on loopback for tests: the info document over http naming the image over https,
// the host name mapped to both and the certificate's authority trusted.
#pragma once

#include "ContainerFiles.h"

#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>

#include <optional>

struct FirmwareSite
{
    static constexpr const char* kHost = "firmware.vork.example";
    static constexpr const char* kImageName = "wrenlet-1.1.0.image";

    // Each reply is sent in pieces of the given size when asked.
    explicit FirmwareSite(const Bytes& file, std::optional<size_t> infoPieces = std::nullopt,
                          std::optional<size_t> imagePieces = std::nullopt)
    {
        info.setRoute("/api/device/wrenlet-k/firmware", {{.body = std::string(R"([{"image":"https://)") +
                                                                  kHost + "/images/" + kImageName + R"("}])",
                                                          .throttleBytes = infoPieces}});
        images.setRoute(std::string("/images/") + kImageName,
                        {{.body = std::string(file.begin(), file.end()), .throttleBytes = imagePieces}});
        FoundationTesting::mapHost(kHost, 80, info.port());
        FoundationTesting::mapHost(kHost, 443, images.port());
        FoundationTesting::trustCertificateAuthority(authority.certificatePem);
    }

    SimNetwork::CertificateAuthority authority = SimNetwork::makeCertificateAuthority("Loopback Authority");
    SimNetwork::FirmwareServer info;
    SimNetwork::FirmwareServer images{SimNetwork::makeServerCertificate(authority, kHost)};
};
