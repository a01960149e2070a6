/*
 * The six services of the host's API library that the driver uses. The host provides them; the
 * driver leaves them as undefined symbols that the host process resolves. Only the low 16 bits of
 * a result are looked at, and 0 means success.
 */
#ifndef KORVA_ZUNPRO_H
#define KORVA_ZUNPRO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZUN_PRINTF_ __attribute__((format(printf, 2, 3)))
#else
#define ZUN_PRINTF_
#endif

/* Logs one line; level 32 for operation messages, 64 for the gate and version messages. */
void err(int level, const char* format, ...) ZUN_PRINTF_;
/* Registers a client; 0 = registered and `client` written. */
int32_t ZunMkClient(const char* name, int32_t a, int32_t b, uint8_t* client);
/* Non-zero: run one more cycle; 0: the host wants the client to end. `message` has 24 bytes. */
int32_t ZunWaitMsg(uint8_t client, void* message, int32_t a);
int32_t ZunRmClient(uint8_t client);
/* 0 = the gate exists and `gate` is written. */
int32_t ZunGetGateIdByAddressStr(uint8_t client, uint8_t vpi, const char* address,
                                 uint32_t* gate);
/* 0 = the value was written. */
int32_t ZunPutGateVal(uint8_t client, uint32_t gate, int32_t a, double value, int32_t b,
                      int32_t c);

#undef ZUN_PRINTF_

#ifdef __cplusplus
}
#endif

#endif /* KORVA_ZUNPRO_H */
