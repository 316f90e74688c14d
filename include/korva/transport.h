/* The transport contract between the token module and its host.
 *
 * The host owns the reader connection. For every token-level request it calls
 * one slot of the module and passes, first, its HostContext: two opaque host
 * integers, the function through which the module exchanges APDUs with the
 * card, and a cookie word the module may use (the session-object table).
 *
 * This header is usable from C and C++. A 32-bit value is uint32_t; pointers
 * are native pointers. */
#ifndef KORVA_TRANSPORT_H
#define KORVA_TRANSPORT_H

#include <stdint.h>

#ifdef __cplusplus
namespace korva::abi {
extern "C" {
#endif

struct HostContext;

/* Sends one command APDU (header included, at most 263 bytes) and receives
 * the answer. `responseLength` holds the capacity of `response` on entry and
 * the number of data bytes received (status words excluded) on return.
 * Returns 0 when the exchange took place (the status words are valid) and
 * non-zero on a transport failure. `flag` is the per-command transport
 * option (0 or 1); `reserved` is always 0. */
typedef uint32_t (*TransmitCallback)(struct HostContext host, const uint8_t* command, uint32_t commandLength,
                                     uint8_t* response, uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2,
                                     uint32_t flag, uint32_t reserved);

/* Passed by value at the head of almost every slot (16 bytes on i386). */
typedef struct HostContext {
    uint32_t hostA;            /* opaque to the module, passed back */
    uint32_t hostB;            /* opaque to the module, passed back */
    TransmitCallback transmit; /* the host's APDU exchange */
    void* cookie;              /* host word; holds the session-object table */
} HostContext;

#ifdef __cplusplus
} /* extern "C" */
} /* namespace korva::abi */
#endif

#endif
