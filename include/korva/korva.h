/*
 * KORVA modem-pool driver: the functions other drivers of the host call to use a modem line.
 *
 * A connection reference is a small number (0..254) handed out by KORVA_Connect or written into
 * an answer-call gate for an incoming call; only its low 16 bits are looked at. Time-outs are in
 * units of 10 ms. Every function returns one of the KORVA_STATUS_* codes.
 */
#ifndef KORVA_KORVA_H
#define KORVA_KORVA_H

#include <stdint.h>

#include "korva/vpi.h"

#ifdef __cplusplus
extern "C" {
#endif

enum KorvaStatus {
    KORVA_STATUS_OK = 0,             /* done */
    KORVA_STATUS_NOT_READY = 5,      /* cold start has not completed */
    KORVA_STATUS_NOT_CONNECTED = 6,  /* the connection has no line any more */
    KORVA_STATUS_BAD_REFERENCE = 7,  /* 255 or above, or not in use */
    KORVA_STATUS_STOPPED = 8,        /* the driver has stopped */
    KORVA_STATUS_IO_FAILED = 9,      /* the serial operation failed */
    KORVA_STATUS_BAD_DIAL_ENTRY = 10, /* 0, above 256, or not defined */
    KORVA_STATUS_NO_MODEM = 11,      /* no modem free for this dial entry */
    KORVA_STATUS_NO_CARRIER = 12,    /* the remote side did not answer */
    KORVA_STATUS_TABLE_FULL = 13     /* connection table full */
};

/* Dials dial entry `dialEntry` (1..256); on 0 writes the connection reference. `connectTimeout`
 * becomes the line's read time-out. */
KORVA_EXPORT int32_t KORVA_Connect(uint16_t dialEntry, int32_t connectTimeout,
                                   uint16_t* reference);
/* Hangs the line up (if it still has one) and frees the reference. */
KORVA_EXPORT int32_t KORVA_Disconnect(uint32_t reference);
/* Writes all `count` bytes; 9 unless every byte went out. */
KORVA_EXPORT int32_t KORVA_Send(uint32_t reference, const void* data, int32_t count);
/* One read of up to `count` bytes (at most 65535) within the line's read time-out. */
KORVA_EXPORT int32_t KORVA_Receive(uint32_t reference, void* buffer, int32_t count,
                                   int32_t* received);
/* Sets the line's read time-out; 0 means reads wait for the whole count. */
KORVA_EXPORT int32_t KORVA_Timeout(uint32_t reference, int32_t timeout);
/* Discards pending input. */
KORVA_EXPORT int32_t KORVA_Flush(uint32_t reference);

#ifdef __cplusplus
}
#endif

#endif /* KORVA_KORVA_H */
