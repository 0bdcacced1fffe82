/* The smallest zunVidStreamLib2 sender: a grey bar sweeping across a 320 x 240 frame,
 * 25 frames a second for a few seconds.
 *   sender memory|udp|tcp PORT [ADDRESS] [SECONDS]
 * "memory" is "Local (Memory)": shared memory on this machine, the address is ignored. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zunVidStreamLib2.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s memory|udp|tcp PORT [ADDRESS] [SECONDS]\n", argv[0]);
        return 2;
    }
    uint32_t protocol = !strcmp(argv[1], "memory") ? ZUN_PROTOCOL_MEMORY
                        : !strcmp(argv[1], "tcp")  ? ZUN_PROTOCOL_TCP : ZUN_PROTOCOL_UDP;
    const char *address = argc > 3 ? argv[3] : "127.0.0.1";
    int frames = 25 * (argc > 4 ? atoi(argv[4]) : 3);

    /* 1. An encoder for frames of one format: here 8-bit grey. */
    StreamFormat format = {.width = 320, .height = 240, .depth = ZUN_DEPTH_GREY8, .orientation = 0};
    uint32_t encoder = zunGetEncoder(protocol, &format);
    /* 2. What goes on the wire: the same format, raw (0) rather than JPEG (1). */
    /* 3. Where it goes. This never waits for a receiver to be there. */
    if (!encoder || !zunSetDestFormat(encoder, &format, 0, 0) ||
        !zunSetDestAddress(encoder, address, (uint32_t)atoi(argv[2]))) {
        fprintf(stderr, "cannot send to %s port %s\n", address, argv[2]);
        return 1;
    }
    /* 4. zunEncode copies the frame before it returns, so one buffer serves every frame. */
    unsigned char *pixels = malloc(zunGetByteSize(&format));
    for (int i = 0; i < frames; ++i) {
        memset(pixels, 40, zunGetByteSize(&format));
        for (int y = 0; y < format.height; ++y) /* rows are padded to 4 bytes: 320 already is */
            memset(pixels + y * 320 + (i * 8) % 320, 220, 8);
        zunEncode(encoder, pixels);
        nanosleep(&(struct timespec){.tv_nsec = 40 * 1000 * 1000}, NULL);
    }
    /* 5. Deleting the encoder stops its thread and closes its socket or shared memory. */
    zunDeleteEncoder(encoder);
    free(pixels);
    printf("sent %d frames\n", frames);
    return 0;
}
