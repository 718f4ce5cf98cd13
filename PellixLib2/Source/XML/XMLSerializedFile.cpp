#include "XMLSerializedFile.h"

#include "Basics/Failure.h"
#include "ResourceAccess/ResourceAccess.h"
#include "XMLFailure.h"

#include <CoreGraphics/CGDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <iostream>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

namespace Pellix {

namespace {

constexpr const char* kSourceFile = "PellixLib2/Source/XML/XMLSerializedFile";
constexpr unsigned int kDefaultLanguage = MakeItemType("enus");
constexpr mode_t kNewFileMode = 0644;

const UString kTop("kTop", UString::k8Bit);
const UString kLeft("kLeft", UString::k8Bit);
const UString kWidth("kWidth", UString::k8Bit);
const UString kHeight("kHeight", UString::k8Bit);
const UString kX("kX", UString::k8Bit);
const UString kY("kY", UString::k8Bit);

struct ProviderRelease
{
    void operator()(CGDataProviderRef provider) const { CGDataProviderRelease(provider); }
};

[[noreturn]] void FailWrite(int line)
{
    FailStringError(Item::ErrorType(), kSourceFile, line);
}

// Writes every byte to the descriptor and makes it durable.
bool WriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno != EINTR) {
            return false;
        }
        done += count > 0 ? static_cast<size_t>(count) : 0;
    }
    return fsync(fd) == 0;
}

// A temporary file beside the target, to be renamed over it.
class TemporaryFile
{
public:
    explicit TemporaryFile(const std::string& target)
    {
        size_t slash = target.rfind('/');
        fPath = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".XXXXXX";
        fDescriptor = mkstemp(fPath.data());
        if (fDescriptor < 0) {
            FailWrite(__LINE__);
        }
        struct stat status;
        fchmod(fDescriptor, stat(target.c_str(), &status) == 0 ? status.st_mode & 07777 : kNewFileMode);
    }
    ~TemporaryFile()
    {
        if (fDescriptor >= 0) {
            close(fDescriptor);
        }
        if (!fRenamed) {
            unlink(fPath.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    void Replace(const std::string& bytes, const std::string& target)
    {
        bool written = WriteAll(fDescriptor, bytes);
        bool closed = close(std::exchange(fDescriptor, -1)) == 0;
        if (!written || !closed || rename(fPath.c_str(), target.c_str()) != 0) {
            FailWrite(__LINE__);
        }
        fRenamed = true;
    }

private:
    std::string fPath;
    int fDescriptor = -1;
    bool fRenamed = false;
};

int TruncatedToInt(double value)
{
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double kMin = std::numeric_limits<int32_t>::min();
    constexpr double kMax = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::trunc(std::clamp(value, kMin, kMax)));
}

std::shared_ptr<ContainerItem> RequiredChild(const std::shared_ptr<ContainerItem>& container,
                                             const UString& name)
{
    FailNIL(container.get());
    auto child = container->GetContainerItem(name);
    if (!child) {
        FailMemFullError();
    }
    return child;
}

} // namespace

std::shared_ptr<ContainerItem> ReadSerializedFile(const FileSpecification& file)
{
    try {
        std::unique_ptr<std::remove_pointer_t<CGDataProviderRef>, ProviderRelease> provider(
            CGDataProviderCreateWithURL(file.GetURL()));
        if (!provider) {
            return nullptr;
        }
        auto_cfref<CFDataRef> data(CGDataProviderCopyData(provider.get()));
        if (!data) {
            return nullptr;
        }
        std::istringstream in(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                                          static_cast<size_t>(CFDataGetLength(data))));
        return ReadContainerFromFile(&in, kDefaultLanguage);
    } catch (...) {
        return nullptr;
    }
}

std::shared_ptr<ContainerItem> ReadSerializedResourceFile(const UString& name, const UString& type)
{
    return ReadSerializedFile(ResourceAccess::Instance().GetFile(name, type));
}

void WriteSerializedFile(const FileSpecification& file, std::shared_ptr<ContainerItem> container)
{
    if (!file.IsValid() || !container) {
        return;
    }
    std::ostringstream document;
    container->WriteToFile(&document);
    std::string target = file.GetPOSIXPath();
    TemporaryFile temporary(target);
    temporary.Replace(document.str(), target);
}

std::shared_ptr<ContainerItem> DuplicateContainer(std::shared_ptr<ContainerItem> source)
{
    if (!source) {
        return nullptr;
    }
    auto copy = CreateContainer(source->GetName());
    for (unsigned int i = 0; i < source->GetNumItems(); ++i) {
        std::shared_ptr<Item> child = source->GetNthItem(i);
        const UString& name = child->GetName();
        if (auto integer = SInt32FromItem(child)) {
            copy->AddSInt32Item(name, integer->Get());
        } else if (auto number = DoubleFromItem(child)) {
            copy->AddDoubleItem(name, number->Get());
        } else if (auto code = OSTypeFromItem(child)) {
            copy->AddOSTypeItem(name, code->Get());
        } else if (auto text = UStringFromItem(child)) {
            copy->AddUStringItem(name, text->Get());
        } else if (auto data = RawDataFromItem(child)) {
            if (data->Get() && data->Get()->fData) {
                copy->AddRawDataItem(name, *data->Get());
            } else {
                copy->AddItem(CreateRawData(name, nullptr));
            }
        } else if (auto container = ContainerFromItem(child)) {
            copy->AddItem(DuplicateContainer(container));
        } else {
            std::cout << "DuplicateContainer cant duplicate this XMLSerializable type." << std::endl;
        }
    }
    return copy;
}

void AddRect(std::shared_ptr<ContainerItem> container, const UString& name, const Rect& rect)
{
    FailNIL(container.get());
    auto stored = container->AddContainerItem(name);
    stored->AddDoubleItem(kTop, rect.height < 0 ? rect.origin.y + rect.height : rect.origin.y);
    stored->AddDoubleItem(kLeft, rect.width < 0 ? rect.origin.x + rect.width : rect.origin.x);
    stored->AddDoubleItem(kWidth, rect.width);
    stored->AddDoubleItem(kHeight, rect.height);
}

Rect GetRect(std::shared_ptr<ContainerItem> container, const UString& name)
{
    auto stored = RequiredChild(container, name);
    Rect rect;
    rect.width = stored->GetDoubleItemValue(kWidth);
    rect.height = stored->GetDoubleItemValue(kHeight);
    // The stored corner is the minimum one; the origin lies a negative size away from it.
    rect.origin.x = stored->GetDoubleItemValue(kLeft) - (rect.width < 0 ? rect.width : 0.0);
    rect.origin.y = stored->GetDoubleItemValue(kTop) - (rect.height < 0 ? rect.height : 0.0);
    return rect;
}

void AddPoint(std::shared_ptr<ContainerItem> container, const UString& name, const Point& point)
{
    FailNIL(container.get());
    auto stored = container->AddContainerItem(name);
    stored->AddSInt32Item(kX, TruncatedToInt(point.x));
    stored->AddSInt32Item(kY, TruncatedToInt(point.y));
}

Point GetPoint(std::shared_ptr<ContainerItem> container, const UString& name)
{
    auto stored = RequiredChild(container, name);
    return Point{static_cast<double>(stored->GetSInt32ItemValue(kX)),
                 static_cast<double>(stored->GetSInt32ItemValue(kY))};
}

} // namespace Pellix
