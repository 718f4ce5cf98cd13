// Messages the kernel sends to user-space ports: the 32-byte kernel header becomes the 24-byte
// user header, the body follows unchanged.

#include "Failures.h"
#include "KernelConnection.h"
#include "UserClientSeam.h"

#include <mach/message.h>

#include <cstring>

namespace {

struct UserHeader
{
    uint32_t bits;
    uint32_t size;
    uint32_t remotePort;
    uint32_t localPort;
    uint32_t voucherPort;
    int32_t id;
};
static_assert(sizeof(UserHeader) == 24);

// Large enough for every message the drivers send; on the stack, so a send never allocates.
constexpr size_t kLargestMessage = 8192;

} // namespace

kern_return_t mach_msg_send_from_kernel_with_options(mach_msg_header_t* message, mach_msg_size_t size,
                                                     mach_msg_option_t option, mach_msg_timeout_t timeout)
{
    if (!message || size < sizeof(mach_msg_header_t)) {
        return MACH_SEND_MSG_TOO_SMALL;
    }
    if (const IOReturn injected =
            KernelIOKitPlatform::injectedFailure(nullptr, KernelIOKitPlatform::FailingCall::MessageSend)) {
        return injected;
    }
    const size_t userSize = size - (sizeof(mach_msg_header_t) - sizeof(UserHeader));
    if (userSize > kLargestMessage) {
        return MACH_SEND_TOO_LARGE;
    }
    alignas(8) uint8_t buffer[kLargestMessage];
    const UserHeader header{message->msgh_bits,
                            uint32_t(userSize),
                            KernelIOKitPlatform::userPortName(message->msgh_remote_port),
                            KernelIOKitPlatform::userPortName(message->msgh_local_port),
                            message->msgh_voucher_port,
                            message->msgh_id};
    std::memcpy(buffer, &header, sizeof(header));
    std::memcpy(buffer + sizeof(header),
                reinterpret_cast<const uint8_t*>(message) + sizeof(mach_msg_header_t),
                size - sizeof(mach_msg_header_t));
    return KernelIOKitPlatform::sendUserMessage(buffer, uint32_t(userSize), option, timeout);
}
