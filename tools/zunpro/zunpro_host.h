/*
 * The host stand-in's own interface, for the host program (korva-host) and the tests. The six
 * host services themselves are declared in korva/zunpro.h.
 */
#ifndef KORVA_ZUNPRO_HOST_H
#define KORVA_ZUNPRO_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets clients, gates, captured lines, injected failures and stop requests. */
void ZunHostReset(void);

/* Asks the registered client to end: its next ZunWaitMsg returns 0. */
void ZunHostRequestStop(void);
/* 1 while a client is registered (ZunMkClient called, ZunRmClient not yet). */
int ZunHostClientRegistered(void);
/* Number of ZunWaitMsg calls so far. */
uint64_t ZunHostWaitCount(void);

/* Step mode: ZunWaitMsg blocks until ZunHostRunCycles grants cycles (or a stop is requested).
 * ZunHostRunCycles(n) grants n cycles and returns when all n have been taken and the client is
 * waiting again (or timeoutMs real milliseconds passed: returns 0 then, else 1). */
void ZunHostSetStepMode(int on);
int ZunHostRunCycles(unsigned cycles, unsigned timeoutMs);

/* Gates: address + VPI number -> identifier. Returns the new identifier (never 0). */
uint32_t ZunHostDefineGate(uint8_t vpi, const char* address);
/* Last value written to a gate and the number of writes; 0 if the gate exists, else -1. */
int ZunHostGateValue(uint32_t gate, double* value, unsigned* writes);
/* Makes the next calls fail with rc (0 = no failure). */
void ZunHostFailMkClient(int32_t rc);
void ZunHostFailPutGateVal(int32_t rc);

/* Logging. Lines go to stderr, or to the file named by ZUNPRO_LOG, with a time stamp. With
 * capture on they are also kept in memory. */
void ZunHostCaptureLog(int on);
void ZunHostEchoLog(int on); /* 0 = do not write lines out (tests keep their output quiet) */
size_t ZunHostLogCount(void);
/* Copies line i (without time stamp) into buffer; returns its level or -1. */
int ZunHostLogLine(size_t i, char* buffer, size_t size);
void ZunHostClearLog(void);
/* Waits until a captured line contains `text` (real milliseconds); 1 found, 0 not. */
int ZunHostWaitLog(const char* text, unsigned timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* KORVA_ZUNPRO_HOST_H */
