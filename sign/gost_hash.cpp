#include "sign/gost_hash.h"

#include "common/gost_engine.h"
#include "common/openssl_ptr.h"
#include "session/mechanisms.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>

namespace korva::sign {
namespace {

// GOST R 34.11-94 (CryptoPro parameters) of the empty message, as every
// independent implementation and the published test vectors give it. The
// engine's digest skips the compression of the empty final block and
// answers 3f25bc1f... for the empty input only; a digest or a signature over
// an empty message must not depend on that, so this value is answered
// instead. Every non-empty input goes through the engine unchanged.
constexpr std::array<uint8_t, kGost94Length> kGost94OfEmptyMessage{
    0x98, 0x1e, 0x5f, 0x3c, 0xa3, 0x0c, 0x84, 0x14, 0x87, 0x83, 0x0f, 0x84, 0xfb, 0x43, 0x3e, 0x13,
    0xac, 0x11, 0x01, 0x56, 0x9b, 0x9c, 0x13, 0x58, 0x4a, 0xc4, 0x83, 0x23, 0x4c, 0xd6, 0x56, 0xc0};

}  // namespace

namespace {

std::size_t hashWith(const EVP_MD* md, ENGINE* engine, std::span<const uint8_t> data, std::span<uint8_t> out) noexcept {
    if (md == nullptr) return 0;
    const int size = EVP_MD_get_size(md);
    if (size <= 0 || out.size() < static_cast<std::size_t>(size)) return 0;

    EvpMdCtxPtr context(EVP_MD_CTX_new());
    unsigned int written = 0;
    if (!context || EVP_DigestInit_ex(context.get(), md, engine) != 1 ||
        EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), out.data(), &written) != 1 || written != static_cast<unsigned int>(size)) {
        return 0;
    }
    return written;
}

// The GOST digests come from the GOST engine, passed explicitly: the module
// relies on no process-wide default.
std::size_t hashWithEngine(int nid, std::span<const uint8_t> data, std::span<uint8_t> out) noexcept {
    return hashWith(gost::digest(nid), gost::engine(), data, out);
}

}  // namespace

std::size_t hashByName(const char* digestName, std::span<const uint8_t> data, std::span<uint8_t> out) noexcept {
    if (digestName == nullptr) return 0;
    // A GOST digest ("md_gost12_256", ...) comes from the engine; OpenSSL's
    // own digests by name.
    const int nid = OBJ_sn2nid(digestName);
    if (nid != NID_undef && gost::digest(nid) != nullptr) return hashWithEngine(nid, data, out);
    return hashWith(EVP_get_digestbyname(digestName), nullptr, data, out);
}

bool hashGost94(std::span<const uint8_t> data, std::span<const uint8_t> digestOid,
                std::span<uint8_t, kGost94Length> out) noexcept {
    // The identifier only has to be a GOST digest parameter set; the hash
    // always uses the CryptoPro parameters.
    if (!digestOid.empty() && !token::matchParameterSet(token::parameter_kind::kDigest, digestOid).has_value()) {
        return false;
    }
    if (data.empty()) {
        if (gost::digest(NID_id_GostR3411_94) == nullptr) return false;
        std::ranges::copy(kGost94OfEmptyMessage, out.begin());
        return true;
    }
    return hashWithEngine(NID_id_GostR3411_94, data, out) == kGost94Length;
}

bool hashGost2012(std::span<const uint8_t> data, unsigned bits, std::span<uint8_t> out) noexcept {
    const int nid = bits == 256 ? NID_id_GostR3411_2012_256 : bits == 512 ? NID_id_GostR3411_2012_512 : NID_undef;
    if (nid == NID_undef || out.size() < bits / 8) return false;
    return hashWithEngine(nid, data, out) == bits / 8;
}

}  // namespace korva::sign
