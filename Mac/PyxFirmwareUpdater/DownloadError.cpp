#include <DownloadError.h>

#include <string>

UString DownloadHTTPError::errDescription() const
{
    return UString("HTTP server status " + std::to_string(statusCode), UString::kUTF8);
}

UString DownloadError::getDescription() const
{
    if (const auto* error = std::get_if<HTTPError>(this))
        return error->errDescription();
    return UString("No internet connection", UString::kUTF8);
}
