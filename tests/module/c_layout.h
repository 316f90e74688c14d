/* Sizes and offsets of the host records as a C compiler lays them out, so
 * that a C++ test can compare them with its own view of the same headers. */
#ifndef KORVA_TEST_C_LAYOUT_H
#define KORVA_TEST_C_LAYOUT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CLayout {
    size_t attribute;
    size_t mechanism;
    size_t tokenInfo;
    size_t loginRecord;
    size_t pinLengthOffset;
    size_t byteVector;
    size_t vectorBeginOffset;
    size_t vectorEndOffset;
    size_t sessionObject;
    size_t sessionCountOffset;
    size_t objectSummary;
    size_t findCursor;
    size_t operationRecord;
    size_t hostContext;
    size_t functionTable;
    size_t releaseAttributesOffset;
} CLayout;

CLayout korvaCLayout(void);

#ifdef __cplusplus
}
#endif

#endif
