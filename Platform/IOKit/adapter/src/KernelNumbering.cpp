#include "KernelNumberingConnection.h"

#include <DriverKit/platform/UserClientAdapters.h>
#include <IOKit/platform/KernelNumbering.h>

namespace IOKitPlatform {

namespace {

class KernelNumberingProvider : public UserClientProvider
{
public:
    explicit KernelNumberingProvider(std::shared_ptr<UserClientProvider> plain) : fPlain(std::move(plain)) {}

    IOReturn open(uint32_t type, std::shared_ptr<UserClientConnection>* connection) override
    {
        std::shared_ptr<UserClientConnection> opened;
        const IOReturn status = fPlain->open(type, &opened);
        if (status != kIOReturnSuccess) {
            return status;
        }
        auto driverKit = std::dynamic_pointer_cast<DriverKitPlatform::UserClientConnection>(opened);
        if (!driverKit) {
            opened->close();
            return kIOReturnUnsupported;
        }
        *connection = std::make_shared<KernelNumberingConnection>(std::move(driverKit));
        return kIOReturnSuccess;
    }

private:
    std::shared_ptr<UserClientProvider> fPlain;
};

} // namespace

void useKernelNumbering(const char* className)
{
    DriverKitPlatform::wrapUserClientProviders(className, [](std::shared_ptr<UserClientProvider> plain) {
        return std::static_pointer_cast<UserClientProvider>(
            std::make_shared<KernelNumberingProvider>(std::move(plain)));
    });
}

} // namespace IOKitPlatform
