// The exchange budget: how many card exchanges stand behind each PKCS#11
// call an application makes, counted on the virtual card through the
// library's trace (KORVA_PKCS11_TRACE=2 prints every command and answer),
// first call and the same call again, without the object cache ("before")
// and with it ("now"); beside each count the time it means on a real card
// under the model of bench/README.md. Also the CPU time of calls that need
// no card.
//
//   korva_bench_exchanges [--pkcs11-tool PATH] [--plot-data FILE]
//
// --plot-data writes the rows of the search plot that
// bench/exchange_budget.sh draws; KORVA_BENCH_KEEP_TOOL_TRACE=FILE keeps the
// trace of the last pkcs11-tool run (which calls cost what).
#include "bench/pkcs11_library.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

using korva::bench::bytes;
using korva::bench::kGost2012Sign;
using korva::bench::kLibraryUserPin;
constexpr int kObjectCounts[] = {0, 10, 25, 50, 100, 200};  // one card each, data objects only

// The time model (bench/README.md): T=1 blocks of at most 254 information
// bytes, each with 3 prologue bytes and 1 epilogue byte; every block after
// the first of a chain is acknowledged by a 4-byte R-block; 11 bit times
// per character; and a fixed time the card spends on each command.
constexpr double kCardTimePerCommand = 0.003;  // seconds
constexpr size_t kInformationField = 254;
constexpr double kBitsPerCharacter = 11;

// Text from pieces (GCC 12 at -O3 warns, wrongly, about prepending a literal
// to a temporary string).
std::string joined(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view piece : pieces) out += piece;
    return out;
}

struct Exchange {
    size_t command = 0;
    size_t answer = 0;
};
using Exchanges = std::vector<Exchange>;

size_t framed(size_t length) {
    const size_t blocks = std::max<size_t>(1, (length + kInformationField - 1) / kInformationField);
    return length + 4 * blocks + 4 * (blocks - 1);
}

double seconds(const Exchanges& exchanges, double baud) {
    double total = 0;
    for (const Exchange& e : exchanges)
        total += kCardTimePerCommand + double(framed(e.command) + framed(e.answer)) * kBitsPerCharacter / baud;
    return total;
}

size_t hexBytes(const std::string& text) {
    std::istringstream in(text);
    size_t count = 0;
    for (std::string word; in >> word;) count += word.size() == 2 ? 1 : 0;
    return count;
}

// The exchanges in a trace: "apdu slot N > ..." then "apdu slot N < ...".
Exchanges parseTrace(const fs::path& file) {
    std::ifstream in(file);
    Exchanges result;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(" apdu slot ");
        if (at == std::string::npos) continue;
        const size_t mark = line.find_first_of("<>", at);
        if (mark == std::string::npos) continue;
        if (line[mark] == '>') {
            result.push_back({hexBytes(line.substr(mark + 1)), 0});
        } else if (!result.empty()) {
            result.back().answer = hexBytes(line.substr(mark + 1));
        }
    }
    return result;
}

// Runs `calls` with the trace on and standard error in a file.
Exchanges traced(const fs::path& folder, const std::function<void()>& calls) {
    const fs::path log = folder / "trace";
    std::fflush(stderr);
    const int saved = dup(2);
    const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    close(file);
    setenv("KORVA_PKCS11_TRACE", "2", 1);
    try {
        calls();
    } catch (...) {
        unsetenv("KORVA_PKCS11_TRACE");
        dup2(saved, 2);
        close(saved);
        throw;
    }
    unsetenv("KORVA_PKCS11_TRACE");
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return parseTrace(log);
}

// A self-signed certificate for the token's RSA key pair.
std::vector<unsigned char> certificate() {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    X509* x509 = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400L * 365);
    X509_set_pubkey(x509, key);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, bytes("exchange budget"), -1, -1, 0);
    X509_set_issuer_name(x509, name);
    X509_sign(x509, key, EVP_sha256());
    std::vector<unsigned char> der(size_t(i2d_X509(x509, nullptr)));
    unsigned char* out = der.data();
    i2d_X509(x509, &out);
    X509_free(x509);
    EVP_PKEY_free(key);
    return der;
}

class Library : public korva::bench::Pkcs11Library {
public:
    explicit Library(const std::string& path) : Pkcs11Library("korva", path) {}
    ck_session_handle_t open(ck_slot_id_t slot) {
        ck_session_handle_t session = 0;
        check(f()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              "C_OpenSession");
        return session;
    }
    ck_object_handle_t create(ck_session_handle_t session, std::vector<ck_attribute> attributes) {
        ck_object_handle_t object = 0;
        check(f()->C_CreateObject(session, attributes.data(), attributes.size(), &object), "C_CreateObject");
        return object;
    }
    std::vector<ck_object_handle_t> find(ck_session_handle_t session, std::vector<ck_attribute> attributes) {
        std::vector<ck_object_handle_t> found(512);
        unsigned long count = 0;
        check(f()->C_FindObjectsInit(session, attributes.data(), attributes.size()), "C_FindObjectsInit");
        check(f()->C_FindObjects(session, found.data(), found.size(), &count), "C_FindObjects");
        check(f()->C_FindObjectsFinal(session), "C_FindObjectsFinal");
        found.resize(count);
        return found;
    }
};

unsigned char yes = 1;

ck_attribute classIs(unsigned long& value) { return {CKA_CLASS, &value, sizeof value}; }

// The cards of the run: slot 0 holds keys, a certificate and an AES key;
// slot k + 1 holds kObjectCounts[k] data objects.
void makeCards(Library& library) {
    auto& f = *library.f();
    const size_t slots = 1 + std::size(kObjectCounts);
    for (ck_slot_id_t slot = 0; slot < slots; ++slot) {
        library.initToken(slot, "budget");
        const ck_session_handle_t session = library.userSession(slot);
        unsigned long dataClass = CKO_DATA;
        unsigned char value[16] = {};
        for (int i = 0; slot > 0 && i < kObjectCounts[slot - 1]; ++i) {
            const std::string name = joined({"object ", std::to_string(i)});
            if (i % 25 == 0) std::fprintf(stderr, "slot %lu: %d data objects\n", slot, i);
            library.create(session, {classIs(dataClass),
                                     {CKA_TOKEN, &yes, 1},
                                     {CKA_LABEL, const_cast<char*>(name.data()), name.size()},
                                     {CKA_VALUE, value, sizeof value}});
        }
        if (slot != 0) continue;
        unsigned char rsaId[] = {1}, gostId[] = {2};
        unsigned long bits = 1024;
        unsigned char exponent[] = {1, 0, 1};
        for (bool rsa : {true, false}) {
            unsigned char* id = rsa ? rsaId : gostId;
            std::vector<ck_attribute> publicTemplate = {{CKA_TOKEN, &yes, 1}, {CKA_VERIFY, &yes, 1}, {CKA_ID, id, 1}};
            if (rsa) {
                publicTemplate.push_back({CKA_MODULUS_BITS, &bits, sizeof bits});
                publicTemplate.push_back({CKA_PUBLIC_EXPONENT, exponent, sizeof exponent});
            }
            ck_attribute privateTemplate[] = {
                {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}, {CKA_ID, id, 1}};
            ck_mechanism mechanism{rsa ? CKM_RSA_PKCS_KEY_PAIR_GEN : CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
            ck_object_handle_t publicKey = 0, privateKey = 0;
            library.check(f.C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                              privateTemplate, 4, &publicKey, &privateKey),
                          "C_GenerateKeyPair");
        }
        std::vector<unsigned char> der = certificate();
        unsigned long certificateClass = CKO_CERTIFICATE, x509 = CKC_X_509;
        library.create(session, {classIs(certificateClass),
                                 {CKA_TOKEN, &yes, 1},
                                 {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                                 {CKA_ID, rsaId, 1},
                                 {CKA_VALUE, der.data(), der.size()}});
        unsigned long secretClass = CKO_SECRET_KEY, aes = CKK_AES;
        unsigned char aesValue[32] = {7};
        library.create(session, {classIs(secretClass),
                                 {CKA_KEY_TYPE, &aes, sizeof aes},
                                 {CKA_TOKEN, &yes, 1},
                                 {CKA_ENCRYPT, &yes, 1},
                                 {CKA_LABEL, bytes("aes"), 3},
                                 {CKA_VALUE, aesValue, sizeof aesValue}});
    }
    library.check(f.C_Finalize(nullptr), "C_Finalize");
}

struct Measured {
    Exchanges first, again;
};
using Results = std::map<std::string, Measured>;
std::vector<std::string> rows;  // the table's order: the order of the calls

Measured& row(Results& results, const std::string& name) {
    if (std::find(rows.begin(), rows.end(), name) == rows.end()) rows.push_back(name);
    return results[name];
}

// Every call of the table on a copy of the cards, with the cache on or off.
Results measure(Library& library, const fs::path& folder, bool cache, const std::string& pkcs11Tool,
                const std::string& libraryPath) {
    setenv("KORVA_PKCS11_OBJECT_CACHE", cache ? "1" : "0", 1);
    auto& f = *library.f();
    Results r;
    const auto both = [&](const std::string& name, const std::function<void()>& call) {
        row(r, name).first = traced(folder, call);
        row(r, name).again = traced(folder, call);
    };
    ck_session_handle_t session = 0;
    const auto tokenInfo = [&] {
        unsigned long count = 0;
        library.check(f.C_GetSlotList(1, nullptr, &count), "C_GetSlotList");
        ck_token_info info{};
        library.check(f.C_GetTokenInfo(0, &info), "C_GetTokenInfo");
    };
    row(r, "C_Initialize + C_GetSlotList + C_GetTokenInfo").first = traced(folder, [&] {
        library.check(f.C_Initialize(nullptr), "C_Initialize");
        tokenInfo();
    });
    r["C_Initialize + C_GetSlotList + C_GetTokenInfo"].again = traced(folder, tokenInfo);
    both("C_OpenSession", [&] { session = library.open(0); });
    row(r, "C_Login").first =
        traced(folder, [&] { library.check(f.C_Login(session, CKU_USER, bytes(kLibraryUserPin), 8), "C_Login"); });
    library.check(f.C_Logout(session), "C_Logout");
    r["C_Login"].again =
        traced(folder, [&] { library.check(f.C_Login(session, CKU_USER, bytes(kLibraryUserPin), 8), "C_Login"); });
    for (size_t k = 0; k < std::size(kObjectCounts); ++k) {
        const ck_session_handle_t objects = library.open(ck_slot_id_t(k + 1));
        both(joined({"C_FindObjects over ", std::to_string(kObjectCounts[k]), " objects"}), [&] {
            if (library.find(objects, {}).size() != size_t(kObjectCounts[k])) throw std::runtime_error("search");
        });
    }
    const auto oneOf = [&](unsigned long objectClass) {
        const auto found = library.find(session, {classIs(objectClass)});
        if (found.empty()) throw std::runtime_error(joined({"no object of class ", std::to_string(objectClass)}));
        return found.front();
    };
    const auto read = [&](ck_object_handle_t object, ck_attribute_type_t type) {
        std::vector<unsigned char> value(2048);
        ck_attribute attribute{type, value.data(), value.size()};
        library.check(f.C_GetAttributeValue(session, object, &attribute, 1), "C_GetAttributeValue");
    };
    const ck_object_handle_t certificateObject = oneOf(CKO_CERTIFICATE);
    both("C_GetAttributeValue: certificate CKA_VALUE", [&] { read(certificateObject, CKA_VALUE); });
    const ck_object_handle_t publicKey = oneOf(CKO_PUBLIC_KEY);
    both("C_GetAttributeValue: public key CKA_MODULUS", [&] { read(publicKey, CKA_MODULUS); });
    const auto privateKey = [&](unsigned char id) {
        unsigned long privateClass = CKO_PRIVATE_KEY;
        const auto found = library.find(session, {classIs(privateClass), {CKA_ID, &id, 1}});
        if (found.empty()) throw std::runtime_error("no private key");
        return found.front();
    };
    const auto sign = [&](unsigned long mechanismType, ck_object_handle_t key) {
        ck_mechanism mechanism{mechanismType, nullptr, 0};
        unsigned char data[32] = {1, 2, 3}, signature[256];
        unsigned long length = sizeof signature;
        library.check(f.C_SignInit(session, &mechanism, key), "C_SignInit");
        library.check(f.C_Sign(session, data, sizeof data, signature, &length), "C_Sign");
    };
    const ck_object_handle_t gostKey = privateKey(2), rsaKey = privateKey(1);
    both("C_SignInit + C_Sign: GOST R 34.10-2012", [&] { sign(kGost2012Sign, gostKey); });
    both("C_SignInit + C_Sign: RSA 1024 PKCS#1", [&] { sign(CKM_RSA_PKCS, rsaKey); });
    both("C_GenerateKeyPair: GOST R 34.10-2012", [&] {
        ck_mechanism mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
        ck_attribute publicTemplate[] = {{CKA_TOKEN, &yes, 1}};
        ck_attribute privateTemplate[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}};
        ck_object_handle_t made[2];
        library.check(
            f.C_GenerateKeyPair(session, &mechanism, publicTemplate, 1, privateTemplate, 2, &made[0], &made[1]),
            "C_GenerateKeyPair");
    });
    unsigned long secretClass = CKO_SECRET_KEY;
    const auto aesKeys = library.find(session, {classIs(secretClass)});
    if (aesKeys.empty()) throw std::runtime_error("no AES key");
    both("C_EncryptInit + C_Encrypt: AES-CBC, 1 KiB", [&] {
        unsigned char iv[16] = {}, data[1024] = {}, out[1040];
        ck_mechanism mechanism{CKM_AES_CBC, iv, sizeof iv};
        unsigned long length = sizeof out;
        library.check(f.C_EncryptInit(session, &mechanism, aesKeys.front()), "C_EncryptInit");
        library.check(f.C_Encrypt(session, data, sizeof data, out, &length), "C_Encrypt");
    });
    both("C_GenerateRandom: 32 bytes", [&] {
        unsigned char random[32];
        library.check(f.C_GenerateRandom(session, random, sizeof random), "C_GenerateRandom");
    });
    library.check(f.C_Finalize(nullptr), "C_Finalize");
    if (!pkcs11Tool.empty()) {
        // A process of its own each time: its trace goes to a file.
        const auto run = [&] {
            const fs::path log = folder / "tool-trace";
            const std::string command = joined({"KORVA_PKCS11_TRACE=2 '", pkcs11Tool, "' --module '", libraryPath,
                                                "' --slot-index 4 --list-objects >/dev/null 2>'", log.string(), "'"});
            if (std::system(command.c_str()) != 0) throw std::runtime_error("pkcs11-tool --list-objects failed");
            if (const char* keep = std::getenv("KORVA_BENCH_KEEP_TOOL_TRACE"))
                fs::copy_file(log, keep, fs::copy_options::overwrite_existing);
            return parseTrace(log);
        };
        Measured& tool = row(r, "pkcs11-tool --list-objects, 50 objects");
        // The first run finds nothing kept for the card; the second finds what the first kept.
        fs::remove_all(folder / "user-cache");
        tool.first = run();
        tool.again = run();
    }
    return r;
}

std::string milliseconds(const Exchanges& e, double baud) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", seconds(e, baud) * 1000);
    return text;
}

// CPU time per call of calls that need no card exchange.
double microsecondsPerCall(const std::function<void()>& call) {
    constexpr int kCalls = 2000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) call();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kCalls;
}

void printCpuTimes(Library& library) {
    setenv("KORVA_PKCS11_OBJECT_CACHE", "1", 1);
    auto& f = *library.f();
    library.check(f.C_Initialize(nullptr), "C_Initialize");
    const ck_session_handle_t session = library.open(0);
    ck_session_info info{};
    std::printf("\n| call without card exchange | CPU time per call (µs) |\n|---|---:|\n");
    std::printf("| C_GetSessionInfo | %.2f |\n", microsecondsPerCall([&] { f.C_GetSessionInfo(session, &info); }));
    ck_object_handle_t found[4];
    unsigned long count = 0;
    library.check(f.C_FindObjectsInit(session, nullptr, 0), "C_FindObjectsInit");
    std::printf("| C_FindObjects (search open) | %.2f |\n",
                microsecondsPerCall([&] { f.C_FindObjects(session, found, 0, &count); }));
    library.check(f.C_FindObjectsFinal(session), "C_FindObjectsFinal");
    library.check(f.C_Finalize(nullptr), "C_Finalize");
}

std::string argument(int argc, char** argv, const std::string& flag, std::string fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == flag) return argv[i + 1];
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string pkcs11Tool = argument(argc, argv, "--pkcs11-tool", "/usr/bin/pkcs11-tool");
    const std::string plotData = argument(argc, argv, "--plot-data", "");
    const fs::path folder = fs::temp_directory_path() / joined({"korva-exchanges-", std::to_string(getpid())});
    fs::create_directories(folder / "cards");
    std::string cards;
    for (size_t slot = 0; slot <= std::size(kObjectCounts); ++slot)
        cards += joined(
            {slot != 0 ? ":" : "", (folder / "cards" / joined({"slot", std::to_string(slot), ".card"})).string()});
    setenv("KORVA_CARDS", cards.c_str(), 1);
    // What the library keeps between processes goes to this run's folder, not the user's.
    setenv("XDG_CACHE_HOME", (folder / "user-cache").c_str(), 1);
    try {
        Library library(KORVA_PKCS11_PATH);
        library.check(library.f()->C_Initialize(nullptr), "C_Initialize");
        makeCards(library);
        fs::copy(folder / "cards", folder / "pristine");
        const std::string tool = fs::exists(pkcs11Tool) ? pkcs11Tool : "";
        const Results before = measure(library, folder, false, tool, KORVA_PKCS11_PATH);
        fs::remove_all(folder / "cards");
        fs::copy(folder / "pristine", folder / "cards");
        const Results now = measure(library, folder, true, tool, KORVA_PKCS11_PATH);

        std::printf(
            "| call | exchanges before: first / again | exchanges now: first / again "
            "| now at 9,600 baud, ms: first / again | now at 115,200 baud, ms: first / again |\n"
            "|---|---:|---:|---:|---:|\n");
        for (const std::string& name : rows) {
            const Measured& old = before.at(name);
            const Measured& measured = now.at(name);
            std::printf("| %s | %zu / %zu | %zu / %zu | %s / %s | %s / %s |\n", name.c_str(), old.first.size(),
                        old.again.size(), measured.first.size(), measured.again.size(),
                        milliseconds(measured.first, 9600).c_str(), milliseconds(measured.again, 9600).c_str(),
                        milliseconds(measured.first, 115200).c_str(), milliseconds(measured.again, 115200).c_str());
        }
        if (!plotData.empty()) {
            std::ofstream out(plotData);
            out << "# objects  first-before  again-before  first-now  again-now\n";
            for (int objects : kObjectCounts) {
                const std::string name = joined({"C_FindObjects over ", std::to_string(objects), " objects"});
                out << objects << ' ' << before.at(name).first.size() << ' ' << before.at(name).again.size() << ' '
                    << now.at(name).first.size() << ' ' << now.at(name).again.size() << '\n';
            }
        }
        printCpuTimes(library);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korva_bench_exchanges: %s\n", error.what());
        fs::remove_all(folder);
        return 1;
    }
    fs::remove_all(folder);
    return 0;
}
