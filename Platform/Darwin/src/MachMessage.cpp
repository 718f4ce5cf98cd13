#include "PortSpace.h"

#include <Darwin/Clock.h>
#include <mach/message.h>

#include <cstring>

namespace {

// The right a receiver holds for a disposition the sender gave.
mach_msg_type_name_t receivedRight(mach_msg_type_name_t disposition)
{
    switch (disposition) {
    case MACH_MSG_TYPE_MOVE_SEND:
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MAKE_SEND:
        return MACH_MSG_TYPE_PORT_SEND;
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
        return MACH_MSG_TYPE_PORT_SEND_ONCE;
    default:
        return disposition;
    }
}

uint64_t deadlineOf(mach_msg_option_t option, mach_msg_option_t timeoutFlag, mach_msg_timeout_t timeout)
{
    if (!(option & timeoutFlag)) {
        return DarwinClock::kNever;
    }
    return DarwinClock::addSaturating(DarwinClock::hostNow(), uint64_t(timeout) * 1000000u);
}

// The message as the receiver sees it: its size, its reply port as the remote port and the
// destination as the local port.
std::vector<std::byte> receivedForm(const mach_msg_header_t* msg, mach_msg_size_t size)
{
    std::vector<std::byte> message(size);
    std::memcpy(message.data(), msg, size);
    mach_msg_header_t header = *msg;
    header.msgh_bits = MACH_MSGH_BITS(receivedRight(MACH_MSGH_BITS_LOCAL(msg->msgh_bits)),
                                      receivedRight(MACH_MSGH_BITS_REMOTE(msg->msgh_bits)));
    header.msgh_size = size;
    header.msgh_remote_port = msg->msgh_local_port;
    header.msgh_local_port = msg->msgh_remote_port;
    std::memcpy(message.data(), &header, sizeof header);
    return message;
}

mach_msg_return_t send(const mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t size,
                       mach_msg_timeout_t timeout)
{
    if (size < sizeof(mach_msg_header_t) || size % 4 != 0) {
        return MACH_SEND_MSG_TOO_SMALL;
    }
    auto port = Darwin::PortSpace::instance().find(msg->msgh_remote_port);
    if (!port) {
        return MACH_SEND_INVALID_DEST;
    }
    return port->send(receivedForm(msg, size), deadlineOf(option, MACH_SEND_TIMEOUT, timeout));
}

mach_msg_return_t receive(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t size,
                          mach_port_name_t name, mach_msg_timeout_t timeout)
{
    auto port = Darwin::PortSpace::instance().find(name);
    if (!port) {
        return MACH_RCV_INVALID_NAME;
    }
    return port->receive(msg, size, option & MACH_RCV_LARGE, deadlineOf(option, MACH_RCV_TIMEOUT, timeout));
}

} // namespace

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t)
{
    if (option & MACH_SEND_MSG) {
        mach_msg_return_t result = send(msg, option, send_size, timeout);
        if (result != MACH_MSG_SUCCESS) {
            return result;
        }
    }
    if (option & MACH_RCV_MSG) {
        return receive(msg, option, rcv_size, rcv_name, timeout);
    }
    return MACH_MSG_SUCCESS;
}
