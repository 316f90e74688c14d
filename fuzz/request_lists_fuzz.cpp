// The text lists of a certificate request, read from a bounded block and
// built into a request body, then encoded. Input: three count bytes (the
// subject count in the low three bits of the first; attribute and
// extension counts in the low two bits of the others, the extension byte's
// bit 0x80 asking for triples and bit 0x40 for no extension list at all),
// then the three blocks, separated by FF bytes.
#include "messages/openssl_handles.h"
#include "messages/request_body.h"

#include <openssl/ec.h>

#include <cstring>
#include <string>

namespace {

using korva::messages::EntryShape;

// The next block up to an FF byte (or the end); `rest` moves past it.
std::string nextBlock(const uint8_t*& rest, std::size_t& left) {
    const void* separator = std::memchr(rest, 0xFF, left);
    const std::size_t length = separator ? std::size_t(static_cast<const uint8_t*>(separator) - rest) : left;
    std::string block(reinterpret_cast<const char*>(rest), length);
    rest += separator ? length + 1 : length;
    left -= separator ? length + 1 : length;
    return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const korva::EvpPkeyPtr key(EVP_EC_gen("P-256"));
    if (size < 3 || !key) return 0;
    const std::size_t subjectCount = data[0] & 0x07, attributeCount = data[1] & 0x03, extensionCount = data[2] & 0x03;
    const EntryShape shape = (data[2] & 0x80) ? EntryShape::kTriples : EntryShape::kPairs;
    const bool withExtensions = (data[2] & 0x40) == 0;
    const uint8_t* rest = data + 3;
    std::size_t left = size - 3;
    const std::string subjectBlock = nextBlock(rest, left), attributeBlock = nextBlock(rest, left),
                      extensionBlock = nextBlock(rest, left);

    using korva::messages::TextList;
    const korva::messages::RequestLists lists{
        TextList(subjectBlock.data(), subjectCount, EntryShape::kPairs, subjectBlock.size()),
        TextList(attributeBlock.data(), attributeCount, EntryShape::kPairs, attributeBlock.size()),
        withExtensions ? std::optional(TextList(extensionBlock.data(), extensionCount, shape, extensionBlock.size()))
                       : std::nullopt};
    const korva::messages::X509ReqPtr request(X509_REQ_new());
    if (!request || korva::messages::buildRequestBody(request.get(), key.get(), lists) != korva::abi::CKR_OK) return 0;
    unsigned char* der = nullptr;
    const int length = i2d_re_X509_REQ_tbs(request.get(), &der);
    OPENSSL_free(der);
    (void)length;
    return 0;
}
