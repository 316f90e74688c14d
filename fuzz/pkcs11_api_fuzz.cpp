// The PKCS#11 library as a hostile application drives it: each input is a
// sequence of calls (sessions opened and closed, logins right and wrong,
// random templates, real and random handles, mechanisms with random
// parameters, output buffers null, too small or large enough) on a prepared
// card holding RSA and GOST key pairs, a secret key and a data object (each
// input starts with a read-write session, the user logged in). The
// library's code and the module's are compiled with the instrumentation;
// the module is linked in, not loaded.
//
// Besides crashes, what an application can see is checked:
//   - no CKR_OK with an output length larger than the buffer given;
//   - a length query (null buffer) is followed by a call with a buffer of
//     exactly that length, which must not answer CKR_BUFFER_TOO_SMALL nor
//     more bytes than the query said;
//   - CKR_BUFFER_TOO_SMALL says a length larger than the buffer;
//   - C_GetAttributeValue's lengths, asked first, fit the values read next;
//   - C_FindObjects returns no more handles than asked for.
//
// Input format: a byte stream read front to back, zeros once it runs out.
// Each call starts with an opcode byte (modulo the number of calls below);
// what a call reads after it is in its function.
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <korva/module.h>
#include <korva/pkcs11_vendor.h>

#include "sim/virtual_card.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" const korva::abi::ModuleFunctionTable* GetFunctionList(void);

// The library finds its module here instead of loading a shared object.
namespace korva::host {
const abi::ModuleFunctionTable* loadModule() { return GetFunctionList(); }
}  // namespace korva::host

namespace {

constexpr const char* kSoPin = "87654321";
constexpr const char* kUserPin = "47102958";  // what initialisation sets
constexpr size_t kMostCalls = 48;
constexpr unsigned long kLargestQuery = 1 << 20;

[[noreturn]] void finding(const char* what, unsigned long a = 0, unsigned long b = 0) {
    std::fprintf(stderr, "pkcs11_api finding: %s (%lu, %lu)\n", what, a, b);
    std::abort();
}

class Input final {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | byte();
        return value;
    }
    std::vector<uint8_t> bytes(size_t count) {
        std::vector<uint8_t> out(count);
        for (uint8_t& value : out) value = byte();
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

ck_function_list* f = nullptr;
std::string cardFile;
std::string preparedCard;

void check(ck_rv_t rv, const char* what) {
    if (rv != CKR_OK) finding(what, rv);
}

unsigned char* text(const char* value) { return reinterpret_cast<unsigned char*>(const_cast<char*>(value)); }

// A template with the values it points to.
struct Template {
    std::vector<ck_attribute> attributes;
    std::vector<std::vector<uint8_t>> values;
    std::vector<unsigned long> numbers;

    ck_attribute* data() { return attributes.empty() ? nullptr : attributes.data(); }
    unsigned long size() const { return attributes.size(); }
};

// clang-format off
constexpr ck_attribute_type_t kTypes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_VALUE, CKA_KEY_TYPE, CKA_ID,
    CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_MODULUS, CKA_PUBLIC_EXPONENT,
    CKA_PRIVATE_EXPONENT, CKA_VALUE_LEN, CKA_EXTRACTABLE, CKA_MODULUS_BITS, CKA_GOSTR3410_PARAMS,
    CKA_GOSTR3411_PARAMS, CKA_GOST28147_PARAMS, CKA_WRAP, CKA_UNWRAP, CKA_DERIVE, CKA_CERTIFICATE_TYPE,
};
constexpr unsigned long kNumbers[] = {CKO_DATA, CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_SECRET_KEY,
                                      CKK_RSA,  CKK_DES3,       CKK_AES,        CKK_GOST28147,   CKK_GOSTR3410,
                                      16,       24,             32,             1024};
// clang-format on

bool holdsNumber(ck_attribute_type_t type) {
    return type == CKA_CLASS || type == CKA_KEY_TYPE || type == CKA_VALUE_LEN || type == CKA_MODULUS_BITS ||
           type == CKA_CERTIFICATE_TYPE;
}

// Input templates are self-consistent: a value pointer always has as many
// bytes behind it as its length says.
Template randomTemplate(Input& in) {
    Template made;
    const size_t count = in.byte() % 8;
    made.values.reserve(count);
    made.numbers.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t pick = in.byte();
        const ck_attribute_type_t type = pick < 0xF0 ? kTypes[pick % std::size(kTypes)] : in.u32();
        const uint8_t shape = in.byte();
        if (holdsNumber(type) && shape % 4 != 0) {
            made.numbers.push_back(kNumbers[in.byte() % std::size(kNumbers)]);
            made.attributes.push_back({type, &made.numbers.back(), sizeof(unsigned long)});
        } else if (shape % 8 == 1) {
            made.attributes.push_back({type, nullptr, 0});
        } else {
            made.values.push_back(in.bytes(shape % 4 == 2 ? 1 : in.byte() % 70));
            made.attributes.push_back({type, made.values.back().data(), made.values.back().size()});
        }
    }
    return made;
}

ck_session_handle_t pickSession(Input& in, const std::vector<ck_session_handle_t>& sessions) {
    const uint8_t pick = in.byte();
    if (sessions.empty() || pick >= 0xF0) return in.u32();
    return sessions[pick % sessions.size()];
}

ck_object_handle_t pickObject(Input& in, const std::vector<ck_object_handle_t>& objects) {
    const uint8_t pick = in.byte();
    if (objects.empty() || pick >= 0xF0) return in.u32();
    return objects[pick % objects.size()];
}

// clang-format off
constexpr ck_mechanism_type_t kMechanisms[] = {
    CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_RSA_X_509, CKM_SHA256,
    CKM_SHA_1, CKM_MD5, CKM_GOSTR3411, CKM_GOSTR3411_12_256, CKM_GOSTR3410, CKM_GOSTR3410_WITH_GOSTR3411,
    CKM_GOSTR3410_WITH_GOSTR3411_12_256, CKM_GOSTR3410_512, CKM_AES_ECB, CKM_AES_CBC, CKM_AES_CBC_PAD,
    CKM_DES3_ECB, CKM_DES3_CBC_PAD, CKM_GOST28147, CKM_GOST28147_ECB, CKM_GOST28147_KEY_WRAP,
    CKM_GOSTR3410_DERIVE, CKM_GOSTR3410_12_DERIVE, CKM_AES_KEY_GEN, CKM_DES3_KEY_GEN, CKM_GOST28147_KEY_GEN,
    CKM_DES_KEY_GEN, CKM_DES2_KEY_GEN,
};
// clang-format on

struct GostDerive {
    unsigned long kdf;
    unsigned char* publicData;
    unsigned long publicDataLength;
    unsigned char* ukm;
    unsigned long ukmLength;
};

// A mechanism with a parameter of a random shape; pointers always have the
// bytes their lengths promise, except for the lengths the library must
// refuse outright (beyond 32 bits, or a null pointer with a length).
struct Mechanism {
    ck_mechanism mechanism{};
    std::vector<uint8_t> parameter, publicData, ukm;
    GostDerive derive{};

    explicit Mechanism(Input& in) {
        const uint8_t pick = in.byte();
        mechanism.mechanism = pick < 0xF0 ? kMechanisms[pick % std::size(kMechanisms)] : in.u32();
        switch (in.byte() % 6) {
            case 0: break;
            case 1: parameter = in.bytes(in.byte() % 2 == 0 ? 16 : 8); break;
            case 2: parameter = in.bytes(in.byte() % 40); break;
            case 3:
                publicData = in.bytes(in.byte() % 2 == 0 ? 64 : in.byte() % 130);
                ukm = in.bytes(in.byte() % 2 == 0 ? 8 : in.byte() % 12);
                derive = {in.byte() % 3ul, publicData.data(), publicData.size(), ukm.data(), ukm.size()};
                mechanism.parameter = &derive;
                mechanism.parameter_len = sizeof derive;
                return;
            case 4:
                mechanism.parameter = nullptr;
                mechanism.parameter_len = in.byte() % 2 == 0 ? 16 : 0xFFFFFFFFUL;
                return;
            default:
                parameter = in.bytes(8);
                mechanism.parameter = parameter.data();
                mechanism.parameter_len = 0xFFFFFFFFUL + (in.byte() % 2);
                return;
        }
        mechanism.parameter = parameter.empty() ? nullptr : parameter.data();
        mechanism.parameter_len = parameter.size();
    }
};

// An output call: a length query followed by the exact buffer, a buffer of
// a random (often too small) size, or a roomy one.
template <typename Call>
ck_rv_t output(Input& in, Call&& call) {
    const uint8_t mode = in.byte() % 3;
    if (mode == 0) {
        unsigned long asked = in.byte();
        const ck_rv_t rv = call(nullptr, &asked);
        if (rv != CKR_OK || asked > kLargestQuery) return rv;
        std::vector<uint8_t> buffer(asked + 1);
        unsigned long length = asked;
        const ck_rv_t next = call(buffer.data(), &length);
        if (next == CKR_BUFFER_TOO_SMALL) finding("a length query disagrees with the call after it", asked, length);
        if (next == CKR_OK && length > asked) finding("more output than the length query said", asked, length);
        return next;
    }
    const unsigned long capacity = mode == 1 ? in.byte() % 140 : 4096;
    std::vector<uint8_t> buffer(capacity + 1);
    unsigned long length = capacity;
    const ck_rv_t rv = call(buffer.data(), &length);
    if (rv == CKR_OK && length > capacity) finding("CKR_OK with a length beyond the buffer", capacity, length);
    if (rv == CKR_BUFFER_TOO_SMALL && length <= capacity)
        finding("CKR_BUFFER_TOO_SMALL within the buffer", capacity, length);
    return rv;
}

void readAttributes(Input& in, ck_session_handle_t session, ck_object_handle_t object) {
    Template asked = randomTemplate(in);
    for (ck_attribute& attribute : asked.attributes) {
        attribute.value = nullptr;
        attribute.value_len = 0;
    }
    const ck_rv_t rv = f->C_GetAttributeValue(session, object, asked.data(), asked.size());
    if (rv != CKR_OK && rv != CKR_ATTRIBUTE_SENSITIVE && rv != CKR_ATTRIBUTE_TYPE_INVALID) return;
    std::vector<unsigned long> lengths;
    std::vector<std::vector<uint8_t>> buffers;
    buffers.reserve(asked.size());
    for (ck_attribute& attribute : asked.attributes) {
        lengths.push_back(attribute.value_len);
        const bool known = attribute.value_len != CK_UNAVAILABLE_INFORMATION && attribute.value_len <= kLargestQuery;
        buffers.emplace_back(known ? attribute.value_len + 1 : 1);
        attribute.value = known ? buffers.back().data() : nullptr;
        if (!known) attribute.value_len = 0;
    }
    const ck_rv_t read = f->C_GetAttributeValue(session, object, asked.data(), asked.size());
    if (read == CKR_BUFFER_TOO_SMALL) finding("attribute lengths asked first do not fit the values");
    for (size_t i = 0; i < asked.attributes.size(); ++i) {
        const unsigned long got = asked.attributes[i].value_len;
        if (got != CK_UNAVAILABLE_INFORMATION && lengths[i] != CK_UNAVAILABLE_INFORMATION && got > lengths[i])
            finding("an attribute value longer than its length query", lengths[i], got);
    }
}

void findObjects(Input& in, ck_session_handle_t session, std::vector<ck_object_handle_t>& objects) {
    Template search = randomTemplate(in);
    if (f->C_FindObjectsInit(session, search.data(), search.size()) != CKR_OK) return;
    const unsigned long room = in.byte() % 6;
    std::vector<ck_object_handle_t> found(room + 1);
    unsigned long count = 0;
    if (f->C_FindObjects(session, found.data(), room, &count) == CKR_OK) {
        if (count > room) finding("more handles than asked for", room, count);
        objects.insert(objects.end(), found.begin(), found.begin() + static_cast<long>(count));
    }
    if (in.byte() % 4 != 0) f->C_FindObjectsFinal(session);
}

void login(Input& in, ck_session_handle_t session) {
    const uint8_t user = in.byte() % 4;
    const unsigned long type = user == 3 ? in.u32() : user;
    const uint8_t which = in.byte() % 3;
    if (which == 2) {
        std::vector<uint8_t> pin = in.bytes(in.byte() % 12);
        f->C_Login(session, type, pin.empty() ? nullptr : pin.data(), pin.size());
        return;
    }
    const char* pin = which == 0 ? kUserPin : kSoPin;
    f->C_Login(session, type, text(pin), std::strlen(pin));
}

// One signing, verification, cipher or digest operation, in one part or several.
void operation(Input& in, const std::vector<ck_session_handle_t>& sessions,
               const std::vector<ck_object_handle_t>& objects, uint8_t kind) {
    const ck_session_handle_t session = pickSession(in, sessions);
    Mechanism mechanism(in);
    const ck_object_handle_t key = pickObject(in, objects);
    std::vector<uint8_t> data = in.bytes(in.byte() % 2 == 0 ? in.byte() : 16 * (in.byte() % 9));
    const bool parts = in.byte() % 2 == 0;
    auto* bytes = data.empty() ? nullptr : data.data();
    switch (kind) {
        case 0:
            if (f->C_SignInit(session, &mechanism.mechanism, key) != CKR_OK) return;
            if (!parts) {
                output(in, [&](unsigned char* out, unsigned long* length) {
                    return f->C_Sign(session, bytes, data.size(), out, length);
                });
                return;
            }
            f->C_SignUpdate(session, bytes, data.size());
            output(in, [&](unsigned char* out, unsigned long* length) { return f->C_SignFinal(session, out, length); });
            return;
        case 1: {
            if (f->C_VerifyInit(session, &mechanism.mechanism, key) != CKR_OK) return;
            std::vector<uint8_t> signature = in.bytes(in.byte() % 2 == 0 ? 128 : 64);
            if (parts) {
                f->C_VerifyUpdate(session, bytes, data.size());
                f->C_VerifyFinal(session, signature.data(), signature.size());
            } else {
                f->C_Verify(session, bytes, data.size(), signature.data(), signature.size());
            }
            return;
        }
        case 2:
        case 3: {
            const bool encrypt = kind == 2;
            if ((encrypt ? f->C_EncryptInit : f->C_DecryptInit)(session, &mechanism.mechanism, key) != CKR_OK) return;
            if (!parts) {
                output(in, [&](unsigned char* out, unsigned long* length) {
                    return (encrypt ? f->C_Encrypt : f->C_Decrypt)(session, bytes, data.size(), out, length);
                });
                return;
            }
            output(in, [&](unsigned char* out, unsigned long* length) {
                return (encrypt ? f->C_EncryptUpdate : f->C_DecryptUpdate)(session, bytes, data.size(), out, length);
            });
            output(in, [&](unsigned char* out, unsigned long* length) {
                return (encrypt ? f->C_EncryptFinal : f->C_DecryptFinal)(session, out, length);
            });
            return;
        }
        default:
            if (f->C_DigestInit(session, &mechanism.mechanism) != CKR_OK) return;
            if (parts) f->C_DigestUpdate(session, bytes, data.size());
            output(in, [&](unsigned char* out, unsigned long* length) {
                return parts ? f->C_DigestFinal(session, out, length)
                             : f->C_Digest(session, bytes, data.size(), out, length);
            });
    }
}

void keys(Input& in, const std::vector<ck_session_handle_t>& sessions, std::vector<ck_object_handle_t>& objects,
          uint8_t kind) {
    const ck_session_handle_t session = pickSession(in, sessions);
    Mechanism mechanism(in);
    Template given = randomTemplate(in);
    ck_object_handle_t made = 0;
    switch (kind) {
        case 0:
            if (f->C_GenerateKey(session, &mechanism.mechanism, given.data(), given.size(), &made) == CKR_OK)
                objects.push_back(made);
            return;
        case 1: {
            const ck_object_handle_t wrapping = pickObject(in, objects), key = pickObject(in, objects);
            output(in, [&](unsigned char* out, unsigned long* length) {
                return f->C_WrapKey(session, &mechanism.mechanism, wrapping, key, out, length);
            });
            return;
        }
        case 2: {
            const ck_object_handle_t unwrapping = pickObject(in, objects);
            std::vector<uint8_t> wrapped = in.bytes(in.byte() % 2 == 0 ? 40 : in.byte() % 80);
            if (f->C_UnwrapKey(session, &mechanism.mechanism, unwrapping, wrapped.empty() ? nullptr : wrapped.data(),
                               wrapped.size(), given.data(), given.size(), &made) == CKR_OK)
                objects.push_back(made);
            return;
        }
        default:
            if (f->C_DeriveKey(session, &mechanism.mechanism, pickObject(in, objects), given.data(), given.size(),
                               &made) == CKR_OK)
                objects.push_back(made);
    }
}

void information(Input& in, const std::vector<ck_session_handle_t>& sessions) {
    const ck_slot_id_t slot = in.byte() % 4 == 3 ? in.u32() : 0;
    switch (in.byte() % 5) {
        case 0:
            output(in, [&](unsigned char* out, unsigned long* length) {
                *length /= sizeof(ck_mechanism_type_t);
                const ck_rv_t rv = f->C_GetMechanismList(slot, reinterpret_cast<ck_mechanism_type_t*>(out), length);
                *length *= sizeof(ck_mechanism_type_t);
                return rv;
            });
            return;
        case 1: {
            ck_mechanism_info info{};
            const uint8_t pick = in.byte();
            f->C_GetMechanismInfo(slot, pick < 0xF0 ? kMechanisms[pick % std::size(kMechanisms)] : in.u32(), &info);
            return;
        }
        case 2: {
            ck_token_info info{};
            f->C_GetTokenInfo(slot, &info);
            return;
        }
        case 3: {
            ck_session_info info{};
            f->C_GetSessionInfo(pickSession(in, sessions), &info);
            return;
        }
        default: {
            std::vector<uint8_t> random(in.byte() % 64 + 1);
            f->C_GenerateRandom(pickSession(in, sessions), random.data(), random.size());
        }
    }
}

void pins(Input& in, ck_session_handle_t session) {
    std::vector<uint8_t> newPin = in.bytes(in.byte() % 2 == 0 ? 8 : in.byte() % 20);
    unsigned char* fresh = newPin.empty() ? nullptr : newPin.data();
    if (in.byte() % 2 == 0) {
        f->C_InitPIN(session, fresh, newPin.size());
    } else {
        f->C_SetPIN(session, text(kUserPin), 8, fresh, newPin.size());
    }
}

// Handles are the library's own, handed out anew after each C_Initialize:
// every input starts with a read-write session, the user logged in and the
// card's objects found.
void start(std::vector<ck_session_handle_t>& sessions, std::vector<ck_object_handle_t>& objects) {
    ck_session_handle_t session = 0;
    check(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), "C_OpenSession");
    check(f->C_Login(session, CKU_USER, text(kUserPin), 8), "C_Login");
    check(f->C_FindObjectsInit(session, nullptr, 0), "C_FindObjectsInit");
    objects.resize(32);
    unsigned long count = 0;
    check(f->C_FindObjects(session, objects.data(), objects.size(), &count), "C_FindObjects");
    check(f->C_FindObjectsFinal(session), "C_FindObjectsFinal");
    objects.resize(count);
    sessions.push_back(session);
}

void run(Input& in) {
    std::vector<ck_session_handle_t> sessions;
    std::vector<ck_object_handle_t> objects;
    start(sessions, objects);
    for (size_t call = 0; call < kMostCalls && !in.empty(); ++call) {
        const uint8_t opcode = in.byte() % 24;
        switch (opcode) {
            case 0: {
                ck_session_handle_t session = 0;
                const ck_slot_id_t slot = in.byte() % 4 == 3 ? in.u32() : 0;
                const ck_flags_t flags = in.byte() % 4 == 3 ? in.u32() : CKF_SERIAL_SESSION | CKF_RW_SESSION;
                if (f->C_OpenSession(slot, flags, nullptr, nullptr, &session) == CKR_OK) sessions.push_back(session);
                break;
            }
            case 1: f->C_CloseSession(pickSession(in, sessions)); break;
            case 2: login(in, pickSession(in, sessions)); break;
            case 3: f->C_Logout(pickSession(in, sessions)); break;
            case 4: findObjects(in, pickSession(in, sessions), objects); break;
            case 5: readAttributes(in, pickSession(in, sessions), pickObject(in, objects)); break;
            case 6: {
                const ck_session_handle_t session = pickSession(in, sessions);
                Template given = randomTemplate(in);
                ck_object_handle_t made = 0;
                if (f->C_CreateObject(session, given.data(), given.size(), &made) == CKR_OK) objects.push_back(made);
                break;
            }
            case 7: f->C_DestroyObject(pickSession(in, sessions), pickObject(in, objects)); break;
            case 8: {
                const ck_session_handle_t session = pickSession(in, sessions);
                const ck_object_handle_t object = pickObject(in, objects);
                Template given = randomTemplate(in);
                f->C_SetAttributeValue(session, object, given.data(), given.size());
                break;
            }
            case 9:
            case 10:
            case 11:
            case 12:
            case 13: operation(in, sessions, objects, static_cast<uint8_t>(opcode - 9)); break;
            case 14:
            case 15:
            case 16:
            case 17: keys(in, sessions, objects, static_cast<uint8_t>(opcode - 14)); break;
            case 18:
            case 19: information(in, sessions); break;
            case 20: pins(in, pickSession(in, sessions)); break;
            case 21: f->C_CloseAllSessions(in.byte() % 4 == 3 ? in.u32() : 0); break;
            case 22:
                f->C_Finalize(nullptr);
                f->C_Initialize(nullptr);
                sessions.clear();
                break;
            default: {
                ck_object_handle_t made = 0, other = 0;
                Mechanism mechanism(in);
                Template publicKey = randomTemplate(in), privateKey = randomTemplate(in);
                if (in.byte() % 8 == 0 &&  // key pairs cost the card most: rarely
                    f->C_GenerateKeyPair(pickSession(in, sessions), &mechanism.mechanism, publicKey.data(),
                                         publicKey.size(), privateKey.data(), privateKey.size(), &made,
                                         &other) == CKR_OK) {
                    objects.push_back(made);
                    objects.push_back(other);
                }
            }
        }
    }
}

void writeCard(const std::string& bytes) { std::ofstream(cardFile, std::ios::binary | std::ios::trunc) << bytes; }

// The prepared card: initialised, with an RSA key pair, a GOST R 34.10-2012
// key pair, an AES key and a data object on it.
void prepare() {
    const auto folder = std::filesystem::temp_directory_path() / ("korva-pkcs11-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    cardFile = (folder / "fuzz.card").string();
    setenv("KORVA_CARDS", cardFile.c_str(), 1);
    // Every input rewrites the same card: what the library keeps between processes stays in this folder.
    setenv("XDG_CACHE_HOME", (folder / "cache").c_str(), 1);
    korva::sim::CardOptions options;
    options.randomSeed = 19;
    options.pinKeyCost = 1;  // every input logs in on a freshly read card: derive cheaply
    korva::sim::VirtualCard::makeFresh(options).save(cardFile);
    check(C_GetFunctionList(&f), "C_GetFunctionList");
    check(f->C_Initialize(nullptr), "C_Initialize");
    unsigned char label[32];
    std::memset(label, ' ', sizeof label);
    check(f->C_InitToken(0, text(kSoPin), 8, label), "C_InitToken");
    ck_session_handle_t session = 0;
    check(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), "C_OpenSession");
    check(f->C_Login(session, CKU_USER, text(kUserPin), 8), "C_Login");
    unsigned char yes = 1, id = 1, gostParameters[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
    unsigned long bits = 1024;
    ck_attribute rsaPublic[] = {{CKA_TOKEN, &yes, 1}, {CKA_ID, &id, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
    ck_attribute rsaPrivate[] = {{CKA_TOKEN, &yes, 1}, {CKA_ID, &id, 1}, {CKA_PRIVATE, &yes, 1}};
    ck_mechanism rsa{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    ck_object_handle_t publicKey = 0, privateKey = 0;
    check(f->C_GenerateKeyPair(session, &rsa, rsaPublic, 3, rsaPrivate, 3, &publicKey, &privateKey), "RSA key pair");
    unsigned char gostId = 2;
    ck_attribute gostPublic[] = {
        {CKA_TOKEN, &yes, 1}, {CKA_ID, &gostId, 1}, {CKA_GOSTR3410_PARAMS, gostParameters, sizeof gostParameters}};
    ck_attribute gostPrivate[] = {{CKA_TOKEN, &yes, 1}, {CKA_ID, &gostId, 1}, {CKA_PRIVATE, &yes, 1}};
    ck_mechanism gost{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    check(f->C_GenerateKeyPair(session, &gost, gostPublic, 3, gostPrivate, 3, &publicKey, &privateKey),
          "GOST key pair");
    unsigned long secretClass = CKO_SECRET_KEY, aesType = CKK_AES;
    unsigned char aesValue[32] = {1, 2, 3};
    ck_attribute aes[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                          {CKA_KEY_TYPE, &aesType, sizeof aesType},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_VALUE, aesValue, sizeof aesValue}};
    ck_object_handle_t secret = 0;
    check(f->C_CreateObject(session, aes, 4, &secret), "AES key");
    unsigned long dataClass = CKO_DATA;
    unsigned char value[] = "fuzz data";
    ck_attribute data[] = {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &yes, 1}, {CKA_VALUE, value, 9}};
    ck_object_handle_t object = 0;
    check(f->C_CreateObject(session, data, 3, &object), "data object");
    check(f->C_Finalize(nullptr), "C_Finalize");
    std::ifstream saved(cardFile, std::ios::binary);
    preparedCard.assign(std::istreambuf_iterator<char>(saved), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool prepared = (prepare(), true);
    (void)prepared;
    writeCard(preparedCard);
    if (f->C_Initialize(nullptr) != CKR_OK) finding("C_Initialize on the prepared card");
    Input in(data, size);
    run(in);
    f->C_Finalize(nullptr);
    return 0;
}
