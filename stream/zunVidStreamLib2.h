/*
 * zunVidStreamLib2: send and receive video frames between processes and machines
 * over UDP (unicast or multicast), TCP or same-host shared memory, raw or JPEG.
 *
 * Handles are nonzero 32-bit ids; 0 means none or failure. An encoder or decoder
 * handle lives from its zunGet* call until its zunDelete* call; any call with 0, an
 * unknown, deleted or wrong-kind handle, or a null pointer does nothing and returns 0
 * (or null).
 *
 * Threads: every entry point may be called from any thread, also on one handle from several
 * threads at once. Calls that change a handle (zunSetDest*, zunSetSource*, zunSetAdaptiveBuffer,
 * zunEncode, zunLock/UnlockReadBuffer, zunDelete*) wait for each other on that handle: for a
 * few milliseconds at most, except behind zunEncode, which holds its encoder while it copies or
 * compresses the frame (for an 8192x8192 32-bit frame, tens to hundreds of milliseconds).
 * The readers of state (zunGetRecv*, zunGetStreamStats, zunGetStatus) never wait for
 * them. Calls on different handles never wait for each other.
 * Each entry point below names its rule.
 */
#ifndef ZUNVIDSTREAMLIB2_H
#define ZUNVIDSTREAMLIB2_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZUNVIDSTREAMLIB2_BUILD)
#    define ZUN_API __declspec(dllexport)
#  else
#    define ZUN_API __declspec(dllimport)
#  endif
#else
#  define ZUN_API __attribute__((visibility("default")))
#endif

/* The version of this header; zunGetVersion() gives that of the library loaded. */
#define ZUN_VERSION_MAJOR 1
#define ZUN_VERSION_MINOR 1
#define ZUN_VERSION_PATCH 0
#define ZUN_VERSION_NUMBER (ZUN_VERSION_MAJOR * 10000 + ZUN_VERSION_MINOR * 100 + ZUN_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* Frame format. depth: one of the ZUN_DEPTH_* codes. Pixels are rows top to bottom, each
 * row padded to a multiple of 4 bytes. */
typedef struct StreamFormat {
    uint16_t width;
    uint16_t height;
    uint16_t depth;
    uint16_t orientation;
} StreamFormat;

/* Depth codes of StreamFormat.depth. */
enum {
    ZUN_DEPTH_RGB565 = 0,
    ZUN_DEPTH_RGB888 = 1,
    ZUN_DEPTH_RGB32 = 2, /* 0xffRRGGBB native word */
    ZUN_DEPTH_GREY8 = 3
};

/* Protocol codes. */
enum {
    ZUN_PROTOCOL_UDP = 1,
    ZUN_PROTOCOL_TCP = 2,
    ZUN_PROTOCOL_MEMORY = 3
};

/* The port passed with an address is channel + ZUN_PORT_BASE by convention. */
enum { ZUN_PORT_BASE = 10588 };

/* States of ZunStatus.state. */
enum {
    ZUN_STATE_IDLE = 0,       /* no destination or source set yet */
    ZUN_STATE_RESOLVING = 1,  /* encoder: looking the host name up */
    ZUN_STATE_CONNECTING = 2, /* encoder: TCP connection being made, or retried */
    ZUN_STATE_SENDING = 3,    /* encoder: frames go out */
    ZUN_STATE_WAITING = 4,    /* decoder: no frame yet from this source */
    ZUN_STATE_RECEIVING = 5,  /* decoder: frames arrive */
    ZUN_STATE_STALLED = 6,    /* decoder: no frame for a second or more */
    ZUN_STATE_FAILED = 7      /* cannot go on until reconfigured; error and text say why */
};

/* What an encoder or decoder is doing and the last problem it met, in words that name the
 * address and the system's reason, e.g. "tcp 10.0.0.5:10588: Connection refused, retrying".
 * error is the system's error number of that problem (errno values; negative: the resolver's
 * EAI_* code; 0 when none or not a system error); text is "" when there was none since the
 * last zunSetDest/zunSetSource call. */
typedef struct ZunStatus {
    uint32_t state;
    int32_t error;
    char text[256];
} ZunStatus;

/* Levels of the log handler, most severe first. */
enum {
    ZUN_LOG_ERROR = 1,   /* a handle cannot work: bad address, port held, no route */
    ZUN_LOG_WARNING = 2, /* it works badly: retrying, datagrams rejected, stalled */
    ZUN_LOG_INFO = 3,    /* it changed state: connected, receiving */
    ZUN_LOG_DEBUG = 4
};

/* Receives one line per event, the same texts as ZunStatus, without a newline.
 * A message repeated within a second is held back, then passed once with its count. */
typedef void (*ZunLogHandler)(void *user, int32_t level, const char *message);

/* Counters of one encoder or decoder, since it was made. */
typedef struct ZunStreamStats {
    uint64_t framesSent;       /* encoder: frames handed to the transport */
    uint64_t framesDelivered;  /* decoder: frames made readable */
    uint64_t framesDropped;    /* frames dropped whole: queue or read buffer full, not connected */
    uint64_t framesIncomplete; /* decoder: frames abandoned with pieces missing */
    uint64_t packetsRejected;  /* decoder: datagrams, messages or slots that failed validation */
    uint64_t bytesTransferred; /* payload bytes sent or received */
} ZunStreamStats;

/* Repairs of a UDP decoder, since it was made: a second record, so that ZunStreamStats keeps
 * its size. */
typedef struct ZunRepairStats {
    uint64_t framesRepaired; /* frames made whole only by rebuilding lost pieces from parity */
    uint64_t piecesRebuilt;  /* data pieces rebuilt from parity */
} ZunRepairStats;

/* What reached a decoder, since it was made: a third record, so that ZunStreamStats keeps its
 * size. */
typedef struct ZunReceiveStats {
    uint64_t bytesReceived;       /* bytes that arrived, in whole frames or not, headers and parity
                                     included (protocol 3: the payload of the frames delivered) */
    uint64_t datagramsOverflowed; /* protocol 1: datagrams this host's kernel dropped on the
                                     decoder's full socket buffers, apart from any the network
                                     lost */
} ZunReceiveStats;

/* What a decoder knows of the locked frame (or the last one locked). Set size to
 * sizeof(ZunFrameInfo) before the call: a later library with a longer record fills only the
 * fields that fit in the size given, so a program keeps working with it. */
typedef struct ZunFrameInfo {
    uint32_t size;         /* set by the caller */
    uint16_t width;
    uint16_t height;
    uint16_t depth;        /* ZUN_DEPTH_* */
    uint16_t orientation;  /* as sent */
    uint32_t frameNumber;  /* the encoder's, counting up */
    uint64_t sendTimeNs;   /* the sender's CLOCK_MONOTONIC at zunEncode */
    uint32_t payloadBytes; /* as carried (JPEG or raw), without transport headers */
    uint32_t jpeg;         /* 1: it travelled as JPEG; 0: raw */
} ZunFrameInfo;

/* The library's version as ZUN_VERSION_NUMBER gives the header's: major * 10000 +
 * minor * 100 + patch. Any thread, never waits. */
ZUN_API uint32_t zunGetVersion(void);

/* Bytes in one uncompressed frame: height x row length padded to 4 bytes.
 * Returns 0 for a null pointer, an unknown depth or a size that does not fit in 32 bits.
 * Any thread, never waits. */
ZUN_API uint32_t zunGetByteSize(const StreamFormat *format);

/* Makes an encoder for protocol 1, 2 or 3 with the given frame format (sizes 1 to 8192).
 * Returns 0 for an unknown protocol, a bad format or a null pointer. Any thread. */
ZUN_API uint32_t zunGetEncoder(uint32_t protocol, const StreamFormat *format);

/* Sets the format of the frames passed to zunEncode and their compression: compressed 0
 * sends raw pixels, 1 JPEG at quality 100 - level (level 0 to 100).
 * Returns 1, or 0 for a bad handle or format. Any thread; waits for other changing calls
 * on this encoder. */
ZUN_API int32_t zunSetDestFormat(uint32_t encoder, const StreamFormat *format,
                                 uint32_t compressed, uint32_t level);

/* Sets where frames go: an IPv4 address or host name ("group@interface-address" picks the
 * interface for multicast; ignored by protocol 3) and a port. Never waits on the network.
 * Protocol 3 makes the port's shared memory here; while another live encoder holds the port
 * this one is refused (that of a dead one is taken over).
 * Returns 1, or 0 for a bad handle, a null address or a port that cannot be used; why is in
 * zunGetStatus. Any thread; waits for other changing calls on this encoder. */
ZUN_API int32_t zunSetDestAddress(uint32_t encoder, const char *address, uint32_t port);

/* Copies or compresses one frame of the current format before it returns; sending happens on
 * the encoder's own thread. Returns 1, or 0 for a bad handle, a null pointer or no
 * destination yet. Any thread; waits for other changing calls on this encoder, and they wait
 * for its copy or compression. */
ZUN_API int32_t zunEncode(uint32_t encoder, const void *pixels);

/* Protocol 1 only: spreads each frame's datagrams over time at bytes_per_second instead of
 * one burst; 0 (the default) spreads a frame over most of the interval since the one before,
 * and sends the rest at once when a newer frame is waiting. Takes effect from the next frame.
 * TCP keeps to its own flow control and shared memory has no link: both return 0.
 * Returns 1, or 0 for a bad handle or protocol 2 or 3. Any thread; waits for other changing
 * calls on this encoder. */
ZUN_API int32_t zunSetPacingRate(uint32_t encoder, uint64_t bytes_per_second);

/* Protocol 1 only: at most this many bytes of a frame's datagrams leave at once, from its
 * first datagram on, the rest paced; 0 (the default) is 256 KiB, which a receiver with the
 * stock 416 KiB socket buffer holds, a group's receivers and other libraries' included.
 * Larger bursts lower the latency of frames up to that size where every receiver has a large
 * buffer, or (unicast to this library) spreads its port over sockets. Takes effect from the
 * next frame.
 * Returns 1, or 0 for a bad handle or protocol 2 or 3. Any thread; waits for other changing
 * calls on this encoder. */
ZUN_API int32_t zunSetPacingBurst(uint32_t encoder, uint64_t bytes);

/* Stops the encoder's thread, closes its sockets and memory, and frees the handle within
 * about 100 ms: when it returns, the port can be taken again. A call on this encoder still
 * running on another thread finishes first; later ones fail. Returns 1, or 0 for a bad
 * handle. Any thread. */
ZUN_API int32_t zunDeleteEncoder(uint32_t encoder);

/* Makes a decoder for protocol 1, 2 or 3; the requested format is a hint only, frames arrive
 * in the format they were sent in. Returns 0 for an unknown protocol or a null pointer.
 * Any thread. */
ZUN_API uint32_t zunGetDecoder(uint32_t protocol, const StreamFormat *requested);

/* Starts receiving on a port on the decoder's own thread; protocol 1 also takes the
 * stream's multicast group 239.255.105.88 on every interface that carries multicast. Where
 * the kernel grants protocol 1 less than 4 MiB of socket buffer, the port's unicast is spread
 * over up to 16 sockets with SO_REUSEPORT, each with a buffer of its own.
 * Returns 1, or 0 for a bad handle or a port that cannot be used; why is in zunGetStatus.
 * Any thread; waits for other changing calls on this decoder. */
ZUN_API int32_t zunSetSourceAddress(uint32_t decoder, uint32_t port);

/* As zunSetSourceAddress, but joins the IPv4 multicast group given instead of the stream's:
 * "239.1.2.3" on every interface that carries multicast, "239.1.2.3@192.168.1.5" on the
 * interface with that local address. Unicast to the port is still received.
 * Returns 1, or 0 for a bad handle, a decoder of protocol 2 or 3, a null or non-multicast
 * group or a port that cannot be used. Any thread; waits for other changing calls on this
 * decoder. */
ZUN_API int32_t zunSetSourceGroup(uint32_t decoder, const char *group, uint32_t port);

/* 1: a reader that falls behind gets the newest complete frame and older unread ones are
 * dropped. 0 (the default): a FIFO of a few frames that drops the oldest when full.
 * Returns 1, or 0 for a bad handle. Any thread; waits for other changing calls on this
 * decoder. */
ZUN_API int32_t zunSetAdaptiveBuffer(uint32_t decoder, uint32_t adaptive);

/* Returns at once: the pixels of the next complete frame, readable and unchanged until
 * zunUnlockReadBuffer, or null when none is ready or the handle is bad. A second lock
 * without an unlock returns the frame already locked. flags: 0; no flag is defined yet and
 * a call with any bit set returns null. Any thread; waits for other changing calls on this
 * decoder, never for a frame. */
ZUN_API const void *zunLockReadBuffer(uint32_t decoder, uint32_t flags);

/* Releases the locked frame. Returns 1, or 0 for a bad handle or nothing locked. Any thread;
 * waits for other changing calls on this decoder. */
ZUN_API int32_t zunUnlockReadBuffer(uint32_t decoder);

/* Describe the locked frame (or the last one locked); 0 for a bad handle or none yet.
 * Any thread, never waits for other calls. */
ZUN_API uint32_t zunGetRecvWidth(uint32_t decoder);
ZUN_API uint32_t zunGetRecvHeight(uint32_t decoder);
ZUN_API uint32_t zunGetRecvDepth(uint32_t decoder);
ZUN_API uint32_t zunGetRecvOrientation(uint32_t decoder);
/* The encoder's frame number and its send time (CLOCK_MONOTONIC, ns) of the locked frame.
 * Any thread, never waits for other calls. */
ZUN_API uint32_t zunGetRecvFrameNumber(uint32_t decoder);
ZUN_API uint64_t zunGetRecvSendTime(uint32_t decoder);

/* Fills *info with the facts of the locked frame (or the last one locked), all 0 before the
 * first. Returns 1, or 0 for a bad handle, a null pointer or a size below this header's first
 * record (32 bytes). Any thread, never waits for other calls. */
ZUN_API int32_t zunGetRecvFrameInfo(uint32_t decoder, ZunFrameInfo *info);

/* Payload bytes of the last frame locked, as carried (JPEG size or raw size), without
 * transport headers; 0 for a bad handle or none yet. Any thread. */
ZUN_API uint32_t zunGetCompressedFrameSize(uint32_t decoder);

/* Fills *stats for an encoder or decoder handle. Returns 1, or 0 for a bad handle or a
 * null pointer. Any thread, never waits for other calls. */
ZUN_API int32_t zunGetStreamStats(uint32_t handle, ZunStreamStats *stats);

/* Sets the parity a UDP encoder adds to each frame, as a share of its pieces in percent
 * (0 to 100; 0 sends none, the default is 5), so that receivers rebuild lost pieces; from the
 * next frame sent. Returns 1, or 0 for a bad handle, a protocol other than UDP or a share over
 * 100. Any thread; waits for other changing calls on this encoder. */
ZUN_API int32_t zunSetRedundancy(uint32_t encoder, uint32_t percent);

/* Fills *stats for a decoder handle (all 0 for protocols that need no repair). Returns 1, or
 * 0 for a bad handle, an encoder or a null pointer. Any thread, never waits for other calls. */
ZUN_API int32_t zunGetRepairStats(uint32_t decoder, ZunRepairStats *stats);

/* Fills *stats for a decoder handle. Returns 1, or 0 for a bad handle, an encoder or a null
 * pointer. Any thread, never waits for other calls. */
ZUN_API int32_t zunGetReceiveStats(uint32_t decoder, ZunReceiveStats *stats);

/* Fills *status for an encoder or decoder handle: its state and its last problem.
 * Returns 1, or 0 for a bad handle or a null pointer. Any thread, never waits for other
 * calls. */
ZUN_API int32_t zunGetStatus(uint32_t handle, ZunStatus *status);

/* Stops the decoder's thread, closes its sockets and memory, and frees the handle within
 * about 100 ms; a locked frame is released. When it returns, the port can be taken again. A
 * call on this decoder still running on another thread finishes first; later ones fail.
 * Returns 1, or 0 for a bad handle. Any thread. */
ZUN_API int32_t zunDeleteDecoder(uint32_t decoder);

/* Sends the library's messages to handler from then on, from whichever thread meets the
 * event, one call at a time; the handler must not call zunSetLogHandler. A null handler
 * restores the default: lines to stderr up to the level named by the environment variable
 * ZUN_LOG (error, warning, info or debug; unset or anything else: nothing).
 * Any thread; once it returns, the previous handler is no longer called. */
ZUN_API void zunSetLogHandler(ZunLogHandler handler, void *user);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(StreamFormat) == 8, "StreamFormat is four uint16_t");
static_assert(sizeof(ZunStreamStats) == 48, "ZunStreamStats keeps its size");
static_assert(sizeof(ZunRepairStats) == 16, "ZunRepairStats is two uint64_t");
static_assert(sizeof(ZunReceiveStats) == 16, "ZunReceiveStats is two uint64_t");
static_assert(sizeof(ZunFrameInfo) == 32 && offsetof(ZunFrameInfo, sendTimeNs) == 16,
              "ZunFrameInfo keeps the layout of its first version");
static_assert(offsetof(StreamFormat, width) == 0 && offsetof(StreamFormat, height) == 2 &&
                  offsetof(StreamFormat, depth) == 4 && offsetof(StreamFormat, orientation) == 6,
              "StreamFormat field offsets");
#else
_Static_assert(sizeof(StreamFormat) == 8, "StreamFormat is four uint16_t");
_Static_assert(sizeof(ZunRepairStats) == 16, "ZunRepairStats is two uint64_t");
_Static_assert(sizeof(ZunReceiveStats) == 16, "ZunReceiveStats is two uint64_t");
_Static_assert(offsetof(StreamFormat, orientation) == 6, "StreamFormat field offsets");
_Static_assert(sizeof(ZunFrameInfo) == 32, "ZunFrameInfo keeps the layout of its first version");
#endif

#endif
