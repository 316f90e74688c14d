/* Compile-time layout checks shared by the public headers, spelled so that
 * the same line works in C11 and in C++ (where the checked types live in
 * namespace korva::abi). */
#ifndef KORVA_LAYOUT_ASSERT_H
#define KORVA_LAYOUT_ASSERT_H

#include <stddef.h>

#ifdef __cplusplus
#define KORVA_ABI_TYPE(type) ::korva::abi::type
#define KORVA_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define KORVA_ABI_TYPE(type) type
#define KORVA_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

#define KORVA_ASSERT_SIZE(type, size) KORVA_STATIC_ASSERT(sizeof(KORVA_ABI_TYPE(type)) == (size), "size of " #type)
#define KORVA_ASSERT_OFFSET(type, member, offset) \
    KORVA_STATIC_ASSERT(offsetof(KORVA_ABI_TYPE(type), member) == (offset), "offset of " #type "." #member)

#endif
