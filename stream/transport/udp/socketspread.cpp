#include "transport/udp/socketspread.h"

#include <linux/filter.h>
#include <sys/socket.h>

#ifndef SO_ATTACH_REUSEPORT_CBPF
#define SO_ATTACH_REUSEPORT_CBPF 51
#endif

namespace zun {
namespace {

// Offsets in the UDP payload, that is in the wire header.
constexpr uint32_t kVersionAt = 4;
constexpr uint32_t kFrameNumberAt = 12;
constexpr uint32_t kPieceOffsetAt = 28;
constexpr uint32_t kParityBlockAt = 46;
constexpr uint32_t kParityRowAt = 49;
constexpr uint32_t kParityVersion = 3;

} // namespace

bool SocketSpread::attach(int fd, size_t count)
{
    // A load past the end of a datagram ends the program with 0: the first socket, which
    // reads and refuses it like any other.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kFrameNumberAt),
        BPF_STMT(BPF_ST, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, kVersionAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kParityVersion, 0, 5),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, kParityRowAt),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kParityBlockAt),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        BPF_STMT(BPF_JMP | BPF_JA, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kPieceOffsetAt),
        BPF_STMT(BPF_ALU | BPF_RSH | BPF_K, kRunShift),
        BPF_STMT(BPF_LDX | BPF_MEM, 0),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, uint32_t(count)),
        BPF_STMT(BPF_RET | BPF_A, 0),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &filter, sizeof filter) == 0;
}

} // namespace zun
