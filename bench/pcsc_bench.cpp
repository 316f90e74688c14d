// The cost of a card behind pcscd against the built-in reader, in one run:
// one exchange (C_GenerateRandom of 8 bytes: one GET CHALLENGE) and one
// GOST R 34.10-2012 signature, on the same library with both kinds of slot,
// and their ratio.
//
//   korva_bench_pcsc [ROUNDS]
//
// Needs pcscd with vpcd's reader "Virtual PCD 00 00" holding a card
// (korva-vcard); scripts/pcsc-tests runs it that way. Both tokens are
// initialised afresh.
#include "bench/pkcs11_library.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using korva::bench::Pkcs11Library;

struct Token {
    const Pkcs11Library* library = nullptr;
    ck_session_handle_t session = 0;
    ck_object_handle_t key = 0;
};

ck_slot_id_t slotNamed(const Pkcs11Library& library, const std::string& start) {
    ck_function_list* f = library.f();
    unsigned long count = 0;
    library.check(f->C_GetSlotList(1, nullptr, &count), "C_GetSlotList");
    std::vector<ck_slot_id_t> slots(count);
    library.check(f->C_GetSlotList(1, slots.data(), &count), "C_GetSlotList");
    for (ck_slot_id_t slot : slots) {
        ck_slot_info info{};
        library.check(f->C_GetSlotInfo(slot, &info), "C_GetSlotInfo");
        if (std::string(reinterpret_cast<char*>(info.slot_description), sizeof info.slot_description)
                .starts_with(start))
            return slot;
    }
    throw std::runtime_error("no slot with a token named " + start);
}

Token prepare(const Pkcs11Library& library, ck_slot_id_t slot) {
    library.initToken(slot, "bench");
    Token token{&library, library.userSession(slot)};
    unsigned char yes = 1;
    ck_attribute publicTemplate[] = {{CKA_TOKEN, &yes, 1}, {CKA_VERIFY, &yes, 1}};
    ck_attribute privateTemplate[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}};
    ck_mechanism generation{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    ck_object_handle_t publicKey = 0;
    library.check(library.f()->C_GenerateKeyPair(token.session, &generation, publicTemplate, 2, privateTemplate, 3,
                                                 &publicKey, &token.key),
                  "C_GenerateKeyPair");
    return token;
}

// Microseconds per round of `operation`.
double timed(int rounds, const std::function<void()>& operation) {
    operation();  // warm
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) operation();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / rounds;
}

void exchange(const Token& token) {
    unsigned char random[8];
    token.library->check(token.library->f()->C_GenerateRandom(token.session, random, sizeof random),
                         "C_GenerateRandom");
}

void sign(const Token& token) {
    ck_function_list* f = token.library->f();
    ck_mechanism mechanism{korva::bench::kGost2012Sign, nullptr, 0};
    unsigned char data[64] = {1}, signature[128];
    unsigned long length = sizeof signature;
    token.library->check(f->C_SignInit(token.session, &mechanism, token.key), "C_SignInit");
    token.library->check(f->C_Sign(token.session, data, sizeof data, signature, &length), "C_Sign");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const auto folder = std::filesystem::temp_directory_path() / ("korva-bench-pcsc-" + std::to_string(getpid()));
    setenv("KORVA_CARDS", (folder / "bench.card").c_str(), 1);
    unsetenv("KORVA_READERS");
    try {
        const Pkcs11Library library("korva", KORVA_PKCS11_PATH);
        library.check(library.f()->C_Initialize(nullptr), "C_Initialize");
        const Token builtIn = prepare(library, slotNamed(library, "Virtual card"));
        const Token pcsc = prepare(library, slotNamed(library, "Virtual PCD 00 00"));
        struct Row {
            const char* name;
            int rounds;
            void (*operation)(const Token&);
        };
        std::printf("%-28s %14s %14s %8s\n", "operation", "built-in (us)", "pcscd (us)", "ratio");
        for (const Row& row :
             {Row{"one exchange (8 random)", rounds, exchange}, Row{"GOST signature", rounds / 4 + 1, sign}}) {
            const double local = timed(row.rounds, [&] { row.operation(builtIn); });
            const double remote = timed(row.rounds, [&] { row.operation(pcsc); });
            std::printf("%-28s %14.1f %14.1f %8.2f\n", row.name, local, remote, remote / local);
        }
        library.f()->C_Finalize(nullptr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korva_bench_pcsc: %s\n", error.what());
        std::filesystem::remove_all(folder);
        return 1;
    }
    std::filesystem::remove_all(folder);
    return 0;
}
