// Slots of the object store: creating, searching, reading, updating and
// destroying objects, and releasing what the module handed to the host:
// trampolines into objects/.
#include "module/host_arguments.h"
#include "module/slot_guard.h"
#include "module/slots.h"

#include "objects/attribute_set.h"
#include "objects/create_object.h"
#include "objects/destroy_object.h"
#include "objects/enumerate.h"
#include "objects/update_object.h"
#include "session/settings.h"

#include <cstdlib>

namespace korva::slots {

namespace {

// Hands what a search step or a read by handle reached to the host's
// outputs (the attribute array and its count only where the slot has them).
void deliver(const objects::ObjectReport& report, ObjectHandle* handle, CK_OBJECT_CLASS* objectClass,
             uint8_t* isPrivate, CK_ATTRIBUTE** attributes = nullptr, CK_ULONG* count = nullptr) {
    if (handle != nullptr) *handle = report.handle;
    *objectClass = report.facts.classNumber;
    *isPrivate = report.facts.isPrivate;
    if (attributes != nullptr) *attributes = report.attributes;
    if (count != nullptr) *count = report.count;
}

}  // namespace

extern "C" {

CK_RV korva_slot11_createObject(HostContext* host, const LoginRecord* login, const HostByteVector* settings,
                                const CK_ATTRIBUTE* attributes, CK_ULONG count, ObjectHandle* handle,
                                ObjectSummary* summary) {
    return guardSlot([&] {
        const auto tmpl = hostTemplate(attributes, count);
        if (!allGiven(host, handle) || !tmpl) return abi::CKR_ARGUMENTS_BAD;
        return objects::createObject(*host, login, token::copyHostSettings(settings), *tmpl, *handle, summary);
    });
}

CK_RV korva_slot13_getAttributeValue(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                     const ObjectHandle* handle, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return guardSlot([&] {
        const auto tmpl = hostTemplate(attributes, count);
        const auto tokenSettings = token::copyHostSettings(settings);
        if (handle == nullptr || !tmpl || !tokenSettings) return abi::CKR_ARGUMENTS_BAD;
        return objects::getAttributeValue(host, login, *tokenSettings, *handle, *tmpl);
    });
}

CK_RV korva_slot14_findObjectsInit(HostContext /*host*/, const void* /*unused*/, const CK_ATTRIBUTE* attributes,
                                   CK_ULONG count, FindCursor* cursor) {
    return guardSlot([&] {
        const auto tmpl = hostTemplate(attributes, count);
        if (cursor == nullptr || !tmpl) return abi::CKR_ARGUMENTS_BAD;
        return objects::findObjectsInit(*tmpl, *cursor);
    });
}

CK_RV korva_slot15_findNextObject(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                  CK_ATTRIBUTE* attributes, CK_ULONG count, FindCursor* cursor, ObjectHandle* handle,
                                  CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate) {
    return guardSlot([&] {
        const auto tmpl = hostTemplate(attributes, count);
        const auto tokenSettings = token::copyHostSettings(settings);
        if (!allGiven(cursor, handle, objectClass, isPrivate) || !tmpl || !tokenSettings) {
            return abi::CKR_ARGUMENTS_BAD;
        }
        objects::ObjectReport report;
        const CK_RV rv = objects::findNextObject(host, login, *tokenSettings, *tmpl, *cursor, report);
        if (rv == abi::CKR_OK) deliver(report, handle, objectClass, isPrivate);
        return rv;
    });
}

CK_RV korva_slot16_destroyObject(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                 const ObjectHandle* handle) {
    return guardSlot([&] {
        if (handle == nullptr) return abi::CKR_GENERAL_ERROR;
        return objects::destroyObject(host, login, token::copyHostSettings(settings), *handle);
    });
}

CK_RV korva_slot17_getObjectSize(HostContext /*host*/, const void* /*unused1*/, const void* /*unused2*/,
                                 const ObjectHandle* handle, CK_ULONG* size) {
    return guardSlot([&] { return objects::getObjectSize(handle, size); });
}

CK_RV korva_slot18_setAttributes(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                 const ObjectHandle* handle, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return guardSlot([&] {
        const auto changes = hostTemplate(attributes, count);
        if (handle == nullptr || !changes) return abi::CKR_ARGUMENTS_BAD;
        return objects::setAttributes(host, login, token::copyHostSettings(settings), *handle, *changes);
    });
}

CK_RV korva_slot61_releaseBuffer(void* buffer) {
    // Buffers the module hands out come from malloc.
    std::free(buffer);
    return abi::CKR_OK;
}

CK_RV korva_slot62_findNextObjectAttributes(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                            FindCursor* cursor, CK_ATTRIBUTE** attributes, CK_ULONG* count,
                                            ObjectHandle* handle, CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate) {
    return guardSlot([&] {
        const auto tokenSettings = token::copyHostSettings(settings);
        if (!allGiven(cursor, attributes, count, handle, objectClass, isPrivate) || !tokenSettings) {
            return abi::CKR_ARGUMENTS_BAD;
        }
        objects::ObjectReport report;
        const CK_RV rv = objects::findNextObjectAttributes(host, login, *tokenSettings, *cursor, report);
        if (rv == abi::CKR_OK) deliver(report, handle, objectClass, isPrivate, attributes, count);
        return rv;
    });
}

void korva_slot63_releaseAttributes(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    guardSlot([&] { objects::releaseAttributeArray(attributes, count); });
}

CK_RV korva_slot64_getAllAttributes(HostContext host, const void* /*unused*/, const HostByteVector* settings,
                                    const ObjectHandle* handle, CK_ATTRIBUTE** attributes, CK_ULONG* count,
                                    CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate) {
    return guardSlot([&] {
        if (!allGiven(handle, attributes, count, objectClass, isPrivate)) return abi::CKR_ARGUMENTS_BAD;
        objects::ObjectReport report;
        const CK_RV rv = objects::getAllAttributes(host, token::copyHostSettings(settings), *handle, report);
        if (rv == abi::CKR_OK) deliver(report, nullptr, objectClass, isPrivate, attributes, count);
        return rv;
    });
}

CK_RV korva_slot65_getDefaultAttributes(HostContext /*host*/, const void* /*unused1*/, const void* /*unused2*/,
                                        CK_ATTRIBUTE** attributes, CK_ULONG* count, CK_OBJECT_CLASS objectClass) {
    return guardSlot([&] { return objects::getDefaultAttributes(attributes, count, objectClass); });
}

CK_RV korva_slot66_getChangeCounter(HostContext host, const void* /*unused1*/, const void* /*unused2*/,
                                    CK_ULONG* counter) {
    return guardSlot([&] { return objects::getChangeCounter(host, counter); });
}

CK_RV korva_slot70_releaseSessionObjects(HostContext* host, const void* /*unused*/, const HostHandleList* handles) {
    return guardSlot([&] { return objects::releaseSessionObjects(host, handles); });
}

}  // extern "C"

}  // namespace korva::slots
