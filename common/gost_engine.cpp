#include "common/gost_engine.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace korva::gost {
namespace {

constexpr const char* kEngineId = "gost";

// The digest and cipher names OpenSSL knows, by name type.
using NameList = std::vector<std::pair<int, std::string>>;

void appendName(const OBJ_NAME* name, void* list) {
    try {
        static_cast<NameList*>(list)->emplace_back(name->type, name->name);
    } catch (...) {  // an incomplete list only means a name is left behind
    }
}

NameList algorithmNames() {
    NameList names;
    OBJ_NAME_do_all(OBJ_NAME_TYPE_MD_METH, appendName, &names);
    OBJ_NAME_do_all(OBJ_NAME_TYPE_CIPHER_METH, appendName, &names);
    return names;
}

bool engineListed() noexcept {
    for (ENGINE* listed = ENGINE_get_first(); listed != nullptr; listed = ENGINE_get_next(listed)) {
        if (std::strcmp(ENGINE_get_id(listed), kEngineId) == 0) {
            ENGINE_free(listed);
            return true;
        }
    }
    return false;
}

// The engine as this code loaded it: a structural reference from
// ENGINE_by_id and a functional one from ENGINE_init. Loading a dynamic
// engine also lists it and lets it register its digests, ciphers and key
// methods (never as defaults) and their names; when this code was the one
// that brought it into the process, the release undoes all of that.
class LoadedEngine {
public:
    LoadedEngine() noexcept {
        // A failed look-up leaves errors on the thread's queue; they are
        // ours, not the host's, so put the queue back as it was.
        ERR_set_mark();
        try {
            broughtIn_ = !engineListed();
            const NameList before = broughtIn_ ? algorithmNames() : NameList{};
            ENGINE* engine = ENGINE_by_id(kEngineId);
            if (engine != nullptr && ENGINE_init(engine) != 1) {
                ENGINE_free(engine);
                engine = nullptr;
            }
            engine_ = engine;
            if (engine_ != nullptr) registerKeyEncodings();
            if (engine_ != nullptr && broughtIn_) rememberNewNames(before);
        } catch (...) {
            // Only the name lists allocate: without them the engine is
            // still usable, and its names stay behind at the end.
        }
        ERR_pop_to_mark();
    }

    ~LoadedEngine() {
        if (engine_ == nullptr) return;
        ERR_set_mark();
        ENGINE_finish(engine_);
        if (registeredKeyEncodings_) ENGINE_unregister_pkey_asn1_meths(engine_);
        if (broughtIn_) takeBackRegistrations();
        ENGINE_free(engine_);
        ERR_pop_to_mark();
    }

    LoadedEngine(const LoadedEngine&) = delete;
    LoadedEngine& operator=(const LoadedEngine&) = delete;

    ENGINE* get() const noexcept { return engine_; }

private:
    // OpenSSL finds the encoding of a key (the public key of a certificate,
    // a certificate request or a signed message) only through its tables,
    // and the engine's binding does not enter its GOST key encodings there.
    // They are registered, never made a default: no other implementation
    // handles these algorithms, so nothing the host uses changes. Taken
    // back at the end when this code registered them.
    void registerKeyEncodings() noexcept {
        ENGINE* registered = ENGINE_get_pkey_asn1_meth_engine(NID_id_GostR3410_2012_256);
        if (registered != nullptr) {
            ENGINE_finish(registered);
            return;
        }
        registeredKeyEncodings_ = ENGINE_register_pkey_asn1_meths(engine_) == 1;
    }

    void rememberNewNames(const NameList& before) {
        for (auto& name : algorithmNames()) {
            bool known = false;
            for (const auto& old : before) known = known || old == name;
            if (!known) addedNames_.push_back(std::move(name));
        }
    }

    void takeBackRegistrations() noexcept {
        ENGINE_unregister_digests(engine_);
        ENGINE_unregister_ciphers(engine_);
        ENGINE_unregister_pkey_meths(engine_);
        ENGINE_unregister_pkey_asn1_meths(engine_);
        for (const auto& [type, name] : addedNames_) OBJ_NAME_remove(name.c_str(), type);
        ENGINE_remove(engine_);
    }

    ENGINE* engine_ = nullptr;
    bool broughtIn_ = false;
    bool registeredKeyEncodings_ = false;
    NameList addedNames_;
};

// Built on first use. Its destructor is registered with the exit handlers
// at that moment, after OpenSSL registered its own tear-down (at the latest
// by the calls above), so it runs before OpenSSL is torn down: at exit, and
// when the shared library that holds it is unloaded.
const LoadedEngine& loadedEngine() noexcept {
    static const LoadedEngine engine;
    return engine;
}

// An algorithm the engine lacks is an answer (null), not an error left on
// the caller's queue.
template <class Algorithm>
const Algorithm* fromEngine(const Algorithm* (*get)(ENGINE*, int), int nid) noexcept {
    ENGINE* loaded = engine();
    if (loaded == nullptr) return nullptr;
    ERR_set_mark();
    const Algorithm* found = get(loaded, nid);
    ERR_pop_to_mark();
    return found;
}

}  // namespace

ENGINE* engine() noexcept { return loadedEngine().get(); }

const EVP_MD* digest(int nid) noexcept { return fromEngine(ENGINE_get_digest, nid); }

const EVP_CIPHER* cipher(int nid) noexcept { return fromEngine(ENGINE_get_cipher, nid); }

}  // namespace korva::gost
