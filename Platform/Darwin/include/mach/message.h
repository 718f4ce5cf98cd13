#pragma once

// Mach messages between ports of this process.

#include <mach/port.h>

typedef unsigned int mach_msg_bits_t;
typedef natural_t mach_msg_size_t;
typedef integer_t mach_msg_id_t;
typedef natural_t mach_msg_timeout_t;
typedef integer_t mach_msg_option_t;
typedef natural_t mach_msg_type_name_t;
typedef kern_return_t mach_msg_return_t;

typedef struct
{
    mach_msg_bits_t msgh_bits;
    mach_msg_size_t msgh_size;
    mach_port_t msgh_remote_port;
    mach_port_t msgh_local_port;
    mach_port_name_t msgh_voucher_port;
    mach_msg_id_t msgh_id;
} mach_msg_header_t;

#ifdef __cplusplus
#include <cstddef>
#ifdef KERNEL
static_assert(sizeof(mach_msg_header_t) == 32 && offsetof(mach_msg_header_t, msgh_size) == 4 &&
                  offsetof(mach_msg_header_t, msgh_remote_port) == 8 &&
                  offsetof(mach_msg_header_t, msgh_local_port) == 16 &&
                  offsetof(mach_msg_header_t, msgh_voucher_port) == 24 &&
                  offsetof(mach_msg_header_t, msgh_id) == 28,
              "the kernel's message header");
#else
static_assert(sizeof(mach_msg_header_t) == 24 && offsetof(mach_msg_header_t, msgh_size) == 4 &&
                  offsetof(mach_msg_header_t, msgh_remote_port) == 8 &&
                  offsetof(mach_msg_header_t, msgh_local_port) == 12 &&
                  offsetof(mach_msg_header_t, msgh_voucher_port) == 16 &&
                  offsetof(mach_msg_header_t, msgh_id) == 20,
              "the user-space message header");
#endif
#endif

#define MACH_MSGH_BITS_REMOTE_MASK 0x0000001fu
#define MACH_MSGH_BITS_LOCAL_MASK 0x00001f00u
#define MACH_MSGH_BITS(remote, local) ((remote) | ((local) << 8))
#define MACH_MSGH_BITS_REMOTE(bits) ((bits)&MACH_MSGH_BITS_REMOTE_MASK)
#define MACH_MSGH_BITS_LOCAL(bits) (((bits)&MACH_MSGH_BITS_LOCAL_MASK) >> 8)

#define MACH_MSG_TYPE_MOVE_RECEIVE 16
#define MACH_MSG_TYPE_MOVE_SEND 17
#define MACH_MSG_TYPE_MOVE_SEND_ONCE 18
#define MACH_MSG_TYPE_COPY_SEND 19
#define MACH_MSG_TYPE_MAKE_SEND 20
#define MACH_MSG_TYPE_MAKE_SEND_ONCE 21
#define MACH_MSG_TYPE_PORT_RECEIVE MACH_MSG_TYPE_MOVE_RECEIVE
#define MACH_MSG_TYPE_PORT_SEND MACH_MSG_TYPE_MOVE_SEND
#define MACH_MSG_TYPE_PORT_SEND_ONCE MACH_MSG_TYPE_MOVE_SEND_ONCE

#define MACH_MSG_OPTION_NONE 0x0
#define MACH_SEND_MSG 0x1
#define MACH_RCV_MSG 0x2
#define MACH_RCV_LARGE 0x4
#define MACH_SEND_TIMEOUT 0x10
#define MACH_RCV_TIMEOUT 0x100

#define MACH_MSG_TIMEOUT_NONE ((mach_msg_timeout_t)0)

#define MACH_MSG_SUCCESS 0x00000000
#define MACH_SEND_INVALID_DEST 0x10000003
#define MACH_SEND_TIMED_OUT 0x10000004
#define MACH_SEND_MSG_TOO_SMALL 0x10000008
#define MACH_SEND_TOO_LARGE 0x1000000a
#define MACH_RCV_INVALID_NAME 0x10004002
#define MACH_RCV_TIMED_OUT 0x10004003
#define MACH_RCV_TOO_LARGE 0x10004004
#define MACH_RCV_PORT_DIED 0x10004005

__BEGIN_DECLS

// MACH_SEND_MSG copies send_size bytes to msgh_remote_port's queue (waiting while it is full);
// MACH_RCV_MSG takes the oldest message of rcv_name into the buffer of rcv_size bytes. With
// MACH_SEND_TIMEOUT or MACH_RCV_TIMEOUT, `timeout` (milliseconds, 0 = do not wait) bounds the wait.
// The receiver sees msgh_size = the bytes sent and msgh_local_port = the port.
mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);

#ifdef KERNEL
// Kernel code sends to the user-space port behind msgh_remote_port; the receiver sees the 24-byte
// user header and msgh_size 8 bytes smaller. Supplied by the kernel half of the platform.
kern_return_t mach_msg_send_from_kernel_with_options(mach_msg_header_t* msg, mach_msg_size_t size,
                                                     mach_msg_option_t option, mach_msg_timeout_t timeout);
#endif

__END_DECLS
