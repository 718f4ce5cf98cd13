// The current firmware from the firmware server: the info document, then the image it names.
#pragma once

#include "Downloader.h"
#include "FirmwareFile.h"

#include <memory>

class DownloadFirmwareFile final : public FirmwareFile,
                                   public Downloader::Client,
                                   public std::enable_shared_from_this<DownloadFirmwareFile>
{
public:
    // The firmware server; the file label shows it while the download runs.
    static constexpr const char* kServerHost = "firmware.vork.example";
    static constexpr const char* kInfoURL = "http://firmware.vork.example/api/device/wrenlet-k/firmware";
    static constexpr size_t kInfoLimit = 65536;

    // Starts with the info document. The client hears FirmwareFileLoaded once the image is in; any
    // other outcome is silent.
    static std::shared_ptr<DownloadFirmwareFile> Create(std::weak_ptr<FirmwareFile::Client> client);

    void DownloadComplete(Downloader& downloader, long statusCode, std::vector<uint8_t> body) override;
    void DownloadFailed(Downloader& downloader) override;

    // The download has ended, with the file loaded or not.
    bool Finished() const { return fFinished; }

private:
    explicit DownloadFirmwareFile(std::weak_ptr<FirmwareFile::Client> client) : fClient(std::move(client)) {}
    void InfoComplete(long statusCode, const std::vector<uint8_t>& body);
    void ImageComplete(long statusCode, std::vector<uint8_t> body);

    std::weak_ptr<FirmwareFile::Client> fClient;
    std::unique_ptr<Downloader> fInfo;
    std::unique_ptr<Downloader> fImage;
    bool fFinished = false;
};
