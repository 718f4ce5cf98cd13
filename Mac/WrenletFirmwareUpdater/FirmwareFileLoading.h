// The updater's firmware file: the current firmware downloaded at launch and after Clear File, or the
// file the user chose. Each file, once loaded, is unpacked 1 ms later on the main run loop and offered
// to the Updater only when its layout and signature hold. Main run loop only.
#pragma once

#include "FirmwareContainer.h"
#include "FirmwareFile.h"

#include <memory>
#include <string>

class FirmwareFileLoading : public FirmwareFile::Client,
                            public std::enable_shared_from_this<FirmwareFileLoading>
{
public:
    // The window's labels and the Updater, on the main run loop.
    class Client
    {
    public:
        virtual ~Client() = default;
        virtual void SetFirmwareFileWithStatus(const std::string& label, bool ok) = 0;
        virtual void SetFileVersion(const std::string& version) = 0;
        // A container whose layout and signature hold; it shows its versions and name itself.
        virtual void FirmwareVerified(std::shared_ptr<const FirmwareContainer> container,
                                      const std::string& fileName) = 0;
        // The file offered before is gone.
        virtual void FirmwareDropped() = 0;
    };

    explicit FirmwareFileLoading(Client& client) : fClient(client) {}

    // Replaces the file with the server's current firmware; the label shows the server.
    void StartDownload();
    // Replaces the file with a local one; a file that cannot be read shows "File error".
    void SetFirmwareFile(const std::string& path);

    void FirmwareFileLoaded(FirmwareFile& file) override;

private:
    void Replace(std::shared_ptr<FirmwareFile> file);
    void Unpack(const std::shared_ptr<FirmwareFile>& file);

    Client& fClient;
    std::shared_ptr<FirmwareFile> fFile;
};
