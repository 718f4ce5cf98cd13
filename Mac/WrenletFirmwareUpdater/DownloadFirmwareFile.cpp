#include "DownloadFirmwareFile.h"

#include "InfoDocument.h"

#include <Foundation/NSURLParts.h>

#include <AutoCFRef.h>

#include <cstdio>
#include <optional>
#include <string>

namespace {

auto_cfref<CFURLRef> urlOf(const std::string& text)
{
    const auto_cfref<CFStringRef> string(
        CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
    return auto_cfref<CFURLRef>(string ? CFURLCreateWithString(nullptr, string, nullptr) : nullptr);
}

std::string utf8(CFStringRef text)
{
    char buffer[1024] = {};
    return text && CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "";
}

} // namespace

std::shared_ptr<DownloadFirmwareFile> DownloadFirmwareFile::Create(std::weak_ptr<FirmwareFile::Client> client)
{
    std::shared_ptr<DownloadFirmwareFile> file(new DownloadFirmwareFile(std::move(client)));
    file->fInfo = std::make_unique<Downloader>(file, urlOf(kInfoURL), kInfoLimit);
    return file;
}

void DownloadFirmwareFile::DownloadComplete(Downloader& downloader, long statusCode,
                                            std::vector<uint8_t> body)
{
    if (&downloader == fInfo.get()) {
        InfoComplete(statusCode, body);
    } else if (&downloader == fImage.get()) {
        ImageComplete(statusCode, std::move(body));
    }
}

void DownloadFirmwareFile::DownloadFailed(Downloader&)
{
    fFinished = true;
}

void DownloadFirmwareFile::InfoComplete(long statusCode, const std::vector<uint8_t>& body)
{
    const std::optional<std::string> image = ImageURLFromInfo(statusCode, body);
    const auto_cfref<CFURLRef> url = image ? urlOf(*image) : auto_cfref<CFURLRef>();
    if (url) {
        fImage = std::make_unique<Downloader>(weak_from_this(), url, kMaximumSize);
    } else {
        fFinished = true;
    }
}

void DownloadFirmwareFile::ImageComplete(long statusCode, std::vector<uint8_t> body)
{
    std::printf("DownloadFileComplete Status: %lu Length: %lu\n", (unsigned long)statusCode,
                (unsigned long)body.size());
    const auto_cfref<CFStringRef> name(NS::lastPathComponent(fImage->URL()));
    SetContents(std::move(body), utf8(name));
    fFinished = true;
    if (const std::shared_ptr<FirmwareFile::Client> client = fClient.lock()) {
        client->FirmwareFileLoaded(*this);
    }
}
