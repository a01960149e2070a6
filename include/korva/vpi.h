/*
 * KORVA modem-pool driver: the records the host hands to VpiMain.
 *
 * Plain C, usable from C and C++. Every word is 32 bits, little-endian. The offsets in the
 * comments are those of the driver's own platform, a 32-bit build, where they are checked at
 * compile time. On a 64-bit build the pointer fields widen to 8 bytes and the fields after them
 * move accordingly; a host and the driver built for the same platform always agree.
 */
#ifndef KORVA_VPI_H
#define KORVA_VPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KORVA_EXPORT __declspec(dllexport)
#else
#define KORVA_EXPORT __attribute__((visibility("default")))
#endif

/* VPI function numbers: the index into the driver's function table. */
enum KorvaVpiFunction {
    KORVA_FN_COLD_START = 1,
    KORVA_FN_WARM_START = 2,
    KORVA_FN_SINGLE_PARSE = 3,
    KORVA_FN_BLOCK_PARSE = 4,
    KORVA_FN_SINGLE_READ = 5,
    KORVA_FN_BLOCK_READ = 6,
    KORVA_FN_SINGLE_WRITE = 7,
    KORVA_FN_BLOCK_WRITE = 10,
    KORVA_FN_END_VPI = 11,
    KORVA_FN_CLOSE_COM = 12,
    KORVA_FN_REOPEN_COM = 13,
    KORVA_FN_GET_VPI_INFO = 14,
    KORVA_FN_CHANGE_PARAMS = 15,
    KORVA_FN_LAST = 16
};

/* The argument of VpiMain. */
typedef struct KorvaRequest {
    uint32_t reserved0; /*  0 */
    uint32_t function;  /*  4: 0..16 */
    uint32_t vpi;       /*  8: the driver's VPI number (read by ColdStart) */
    uint32_t reserved1; /* 12 */
    void* block;        /* 16: function block; for ChangeVpiParams the parameter string */
} KorvaRequest;

/* Function 14: everything is written by the driver except the two reserved words. */
typedef struct KorvaVpiInfo {
    uint32_t version;   /*  0: 70 */
    const char* family; /*  4: "Ruzov Ezora" */
    const char* banner; /*  8: the 222-byte code page 437 banner */
    uint32_t word12;    /* 12: 1 */
    uint32_t word16;    /* 16: 1 */
    uint32_t reserved0; /* 20: not written */
    uint32_t reserved1; /* 24: not written */
    uint32_t word28;    /* 28: 1 */
} KorvaVpiInfo;

/* Function 1: only the service flag is read. */
typedef struct KorvaColdStart {
    uint32_t reserved[3]; /*  0 */
    uint32_t service;     /* 12: non-zero = open the ports and start the supervision task */
} KorvaColdStart;

/* Functions 3 and 4: the gate (or block) the host asks the driver to accept. */
typedef struct KorvaGateDefinition {
    const char* address;  /*  0: in, as the user wrote it */
    uint32_t reserved0;   /*  4 */
    uint32_t gateType;    /*  8: in, 6 = digital */
    uint32_t blockLength; /* 12: in, gates in the block (function 4) */
    uint32_t gateIndex;   /* 16: out */
    uint32_t gateKind;    /* 20: out, '$', 'M' or 'C' */
    uint32_t bitNumber;   /* 24: out */
    int32_t word28;       /* 28: out, always -1 */
    uint32_t word32;      /* 32: out, 1 for modem-signal and port-flag gates */
} KorvaGateDefinition;

/* The value of a gate access: single reads and writes use `single`, block reads `block`. */
typedef struct KorvaGateValue {
    uint8_t block;     /* 0: bit i = gate i of the block */
    uint8_t reserved0; /* 1 */
    uint16_t single;   /* 2: 0 or 1 */
} KorvaGateValue;

/* Functions 5, 6, 7 and 10: one read or write of a gate or block. */
typedef struct KorvaGateAccess {
    const char* address;   /*  0 */
    uint32_t reserved0;    /*  4 */
    uint32_t gateIndex;    /*  8: as the definition produced it */
    uint32_t gateKind;     /* 12 */
    uint32_t bitNumber;    /* 16 */
    uint32_t reserved1[3]; /* 20..28 */
    uint32_t single;       /* 32: 1 = one gate, anything else = block */
    uint32_t reserved2;    /* 36 */
    KorvaGateValue* value; /* 40 */
} KorvaGateAccess;

/* The host's single entry into the driver. */
KORVA_EXPORT int32_t VpiMain(KorvaRequest* request);

#if defined(__cplusplus) && (defined(__i386__) || defined(_M_IX86))
#define KORVA_PIN_(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field)
#elif !defined(__cplusplus) && (defined(__i386__) || defined(_M_IX86))
#define KORVA_PIN_(type, field, offset) \
    _Static_assert(offsetof(type, field) == (offset), #type "." #field)
#endif

#ifdef KORVA_PIN_
#include <stddef.h>
KORVA_PIN_(KorvaRequest, function, 4);
KORVA_PIN_(KorvaRequest, vpi, 8);
KORVA_PIN_(KorvaRequest, block, 16);
KORVA_PIN_(KorvaVpiInfo, version, 0);
KORVA_PIN_(KorvaVpiInfo, family, 4);
KORVA_PIN_(KorvaVpiInfo, banner, 8);
KORVA_PIN_(KorvaVpiInfo, word12, 12);
KORVA_PIN_(KorvaVpiInfo, word16, 16);
KORVA_PIN_(KorvaVpiInfo, reserved0, 20);
KORVA_PIN_(KorvaVpiInfo, reserved1, 24);
KORVA_PIN_(KorvaVpiInfo, word28, 28);
KORVA_PIN_(KorvaColdStart, service, 12);
KORVA_PIN_(KorvaGateDefinition, address, 0);
KORVA_PIN_(KorvaGateDefinition, gateType, 8);
KORVA_PIN_(KorvaGateDefinition, blockLength, 12);
KORVA_PIN_(KorvaGateDefinition, gateIndex, 16);
KORVA_PIN_(KorvaGateDefinition, gateKind, 20);
KORVA_PIN_(KorvaGateDefinition, bitNumber, 24);
KORVA_PIN_(KorvaGateDefinition, word28, 28);
KORVA_PIN_(KorvaGateDefinition, word32, 32);
KORVA_PIN_(KorvaGateAccess, address, 0);
KORVA_PIN_(KorvaGateAccess, gateIndex, 8);
KORVA_PIN_(KorvaGateAccess, gateKind, 12);
KORVA_PIN_(KorvaGateAccess, bitNumber, 16);
KORVA_PIN_(KorvaGateAccess, single, 32);
KORVA_PIN_(KorvaGateAccess, value, 40);
KORVA_PIN_(KorvaGateValue, block, 0);
KORVA_PIN_(KorvaGateValue, single, 2);
#undef KORVA_PIN_
#endif

#ifdef __cplusplus
}
#endif

#endif /* KORVA_VPI_H */
