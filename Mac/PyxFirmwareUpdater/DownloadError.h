#pragma once

// Why the firmware server's answer could not be had: no response at all, or a status outside 2xx.

#include <UString/UString.h>

#include <cstdint>
#include <variant>

struct DownloadNoInternet
{};

struct DownloadHTTPError
{
    int64_t statusCode = 0;

    UString errDescription() const;
};

struct DownloadError : std::variant<DownloadNoInternet, DownloadHTTPError>
{
    using NoInternet = DownloadNoInternet;
    using HTTPError = DownloadHTTPError;
    using variant::variant;

    UString getDescription() const;
};
