/* The smallest zunVidStreamLib2 receiver: waits for frames on a port and says what came.
 *   receiver memory|udp|tcp PORT [FRAMES] [SECONDS]
 * Exits 0 once FRAMES frames (default 10) have arrived, 1 if SECONDS (default 5) pass first. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zunVidStreamLib2.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s memory|udp|tcp PORT [FRAMES] [SECONDS]\n", argv[0]);
        return 2;
    }
    uint32_t protocol = !strcmp(argv[1], "memory") ? ZUN_PROTOCOL_MEMORY
                        : !strcmp(argv[1], "tcp")  ? ZUN_PROTOCOL_TCP : ZUN_PROTOCOL_UDP;
    int wanted = argc > 3 ? atoi(argv[3]) : 10;
    int polls = 1000 * (argc > 4 ? atoi(argv[4]) : 5);

    /* 1. A decoder; the format is only a hint, frames come in whatever format was sent. */
    StreamFormat hint = {0};
    uint32_t decoder = zunGetDecoder(protocol, &hint);
    /* 2. Listening starts on the decoder's own thread; nothing here ever blocks. */
    if (!decoder || !zunSetSourceAddress(decoder, (uint32_t)atoi(argv[2]))) {
        fprintf(stderr, "cannot receive on port %s\n", argv[2]);
        return 1;
    }
    int got = 0;
    for (int i = 0; i < polls && got < wanted; ++i) {
        /* 3. Lock the next complete frame, if there is one; it stays put until unlocked. */
        const unsigned char *pixels = zunLockReadBuffer(decoder, 0);
        if (pixels) {
            printf("frame %u: %u x %u, depth %u, first pixel %u\n", zunGetRecvFrameNumber(decoder),
                   zunGetRecvWidth(decoder), zunGetRecvHeight(decoder), zunGetRecvDepth(decoder),
                   pixels[0]);
            zunUnlockReadBuffer(decoder);
            ++got;
        }
        nanosleep(&(struct timespec){.tv_nsec = 1000 * 1000}, NULL); /* poll every millisecond */
    }
    /* 4. Deleting the decoder stops its thread and releases a frame still locked. */
    zunDeleteDecoder(decoder);
    printf("received %d of %d frames\n", got, wanted);
    return got >= wanted ? 0 : 1;
}
