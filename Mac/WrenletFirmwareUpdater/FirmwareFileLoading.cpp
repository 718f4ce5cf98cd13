#include "FirmwareFileLoading.h"

#include "DownloadFirmwareFile.h"
#include "FileSystemFirmwareFile.h"
#include "UnpackFirmware.h"

#include <dispatch/dispatch.h>

#include <cstdio>

namespace {

constexpr int64_t kUnpackDelay = NSEC_PER_MSEC;

} // namespace

void FirmwareFileLoading::Replace(std::shared_ptr<FirmwareFile> file)
{
    // Whatever was offered before is no longer the file in the window.
    fClient.FirmwareDropped();
    fFile = std::move(file);
}

void FirmwareFileLoading::StartDownload()
{
    fClient.SetFirmwareFileWithStatus(DownloadFirmwareFile::kServerHost, false);
    Replace(DownloadFirmwareFile::Create(weak_from_this()));
}

void FirmwareFileLoading::SetFirmwareFile(const std::string& path)
{
    // The file before goes, and its download with it, whether or not this one loads.
    Replace(nullptr);
    auto loaded = FileSystemFirmwareFile::Load(path);
    if (auto* error = std::get_if<std::string>(&loaded)) {
        std::printf("SetFirmwareFile: %s\n", error->c_str());
        fClient.SetFirmwareFileWithStatus("File error", false);
        return;
    }
    fFile = std::move(std::get<std::unique_ptr<FileSystemFirmwareFile>>(loaded));
    FirmwareFileLoaded(*fFile);
}

void FirmwareFileLoading::FirmwareFileLoaded(FirmwareFile& file)
{
    if (&file != fFile.get()) {
        return;
    }
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, kUnpackDelay), dispatch_get_main_queue(),
                   [weak = weak_from_this(), weakFile = std::weak_ptr<FirmwareFile>(fFile)] {
                       const auto loading = weak.lock();
                       const auto file = weakFile.lock();
                       if (loading && file && file == loading->fFile) {
                           loading->Unpack(file);
                       }
                   });
}

void FirmwareFileLoading::Unpack(const std::shared_ptr<FirmwareFile>& file)
{
    const UnpackOutcome outcome = UnpackFirmware(file->RawBytes());
    if (const auto* verified = std::get_if<UnpackResult::Verified>(&outcome)) {
        fClient.FirmwareVerified(verified->container, file->FileName());
    } else if (std::holds_alternative<UnpackResult::InvalidLayout>(outcome)) {
        fClient.SetFileVersion("");
        fClient.SetFirmwareFileWithStatus("Invalid File", false);
    } else if (std::holds_alternative<UnpackResult::BadSignature>(outcome)) {
        fClient.SetFirmwareFileWithStatus("File Signature Verification Failed", false);
    }
}
