#include "token/data_files.h"

#include "session/pin.h"

#include "card/files.h"
#include "card/select.h"
#include "card/templates.h"

#include <span>

namespace korva::token {

namespace {

using namespace korva::abi;

constexpr uint16_t dataFileId(uint32_t number) noexcept { return static_cast<uint16_t>(0x0100 + (number & 0xFF)); }

CK_RV mapWriteFailure(CardResult rc) noexcept {
    return rc == result::kSecurity ? CKR_USER_NOT_LOGGED_IN : CKR_FUNCTION_FAILED;
}

CK_RV writeFile(CardContext& context, uint16_t fileId, std::span<const uint8_t> data) {
    // A file body is addressed by 15-bit offsets; nothing longer can exist.
    if (data.size() > card::kBinaryOffsetLimit) return CKR_DATA_LEN_RANGE;
    const CardResult selected = card::selectFile(context, fileId);
    if (selected == result::kOk) {
        if (context.fci.fileSize == FileControlInfo::kAbsent) return CKR_FUNCTION_FAILED;
        if (context.fci.fileSize < data.size()) return CKR_DATA_LEN_RANGE;
    } else if (selected == result::kNotFound) {
        const CardResult created = card::createNumberedDataFile(context, fileId, static_cast<uint16_t>(data.size()));
        if (created != result::kOk) return mapWriteFailure(created);
    } else {
        return CKR_FUNCTION_FAILED;
    }
    const CardResult written = card::updateBinary(context, 0, data);
    return written == result::kOk ? CKR_OK : mapWriteFailure(written);
}

}  // namespace

CK_RV writeDataFile(const HostContext& host, const LoginRecord* record, uint32_t number, const uint8_t* data,
                    uint32_t length) {
    if (data != nullptr && length == 0) return CKR_ARGUMENTS_BAD;
    CardContext context(host);
    if (loginWith(context, record) != result::kOk) return CKR_FUNCTION_FAILED;
    if (card::selectDataFileDirectory(context) != result::kOk) return CKR_FUNCTION_FAILED;
    const uint16_t fileId = dataFileId(number);
    if (data != nullptr) return writeFile(context, fileId, std::span(data, length));
    const CardResult deleted = card::deleteFile(context, fileId);
    return deleted == result::kOk ? CKR_OK : mapWriteFailure(deleted);
}

CK_RV readDataFile(const HostContext& host, uint32_t number, uint8_t* buffer, uint32_t* length) {
    if (length == nullptr) return CKR_ARGUMENTS_BAD;
    CardContext context(host);
    if (card::selectDataFileDirectory(context) != result::kOk) return CKR_FUNCTION_FAILED;
    const CardResult selected = card::selectFile(context, dataFileId(number));
    if (selected == result::kNotFound) {
        *length = 0;
        return CKR_OK;
    }
    if (selected != result::kOk) return CKR_FUNCTION_FAILED;
    const uint32_t size = context.fci.fileSize;
    if (size == FileControlInfo::kAbsent) return CKR_FUNCTION_FAILED;
    if (buffer == nullptr) {
        *length = size;
        return CKR_OK;
    }
    if (*length < size) {
        *length = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (card::readBinary(context, 0, std::span(buffer, size)) != result::kOk) return CKR_FUNCTION_FAILED;
    *length = size;
    return CKR_OK;
}

}  // namespace korva::token
