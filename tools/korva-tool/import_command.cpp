// korva-tool import: a PKCS#12 file (key pair and certificate) or a
// certificate in PEM or DER. The file is read and judged here first, so that
// a wrong password, a damaged file or a key the token cannot hold is named
// before anything reaches the token.
#include "tools/korva-tool/commands.h"

#include "tools/korva-tool/failure.h"
#include "tools/korva-tool/files.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <set>

namespace korva::tool {
namespace {

struct ImportOptions {
    std::string in;
    std::optional<std::string> passwordFile;
    std::optional<std::string> passwordVariable;
    std::optional<std::string> label;
    std::optional<std::string> id;
};

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, decltype(&PKCS12_free)>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The token keeps RSA keys of 1024 bits from PKCS#12 files.
constexpr int kImportableRsaBits = 1024;

X509Ptr certificateFrom(const Bytes& der) {
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, long(der.size())), X509_free);
    if (certificate && cursor != der.data() + der.size()) certificate.reset();
    return certificate;
}

Pkcs12Ptr pkcs12From(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return Pkcs12Ptr(d2i_PKCS12(nullptr, &cursor, long(der.size())), PKCS12_free);
}

Secret password(const ImportOptions& options) {
    if (options.passwordFile) return readSecretFile(*options.passwordFile);
    if (options.passwordVariable) return readSecretVariable(*options.passwordVariable);
    return askTerminal("the password of " + options.in, "--password-file or --password-env");
}

std::string keyKind(const EVP_PKEY* key) {
    const char* name = EVP_PKEY_get0_type_name(key);
    return name != nullptr ? name : "unknown";
}

// Opens the file with the password as the token will, and judges its key.
void judgePkcs12(PKCS12* file, const std::string& path, const Secret& secret) {
    if (PKCS12_verify_mac(file, secret.get().c_str(), int(secret.get().size())) != 1 && PKCS12_mac_present(file) == 1)
        throw Failure(ExitCode::Pin,
                      "wrong password for " + path + " (its integrity check fails); nothing was written");
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    const int parsed = PKCS12_parse(file, secret.get().c_str(), &key, &certificate, nullptr);
    const KeyPtr keyOwner(key, EVP_PKEY_free);
    const X509Ptr certificateOwner(certificate, X509_free);
    ERR_clear_error();
    if (parsed != 1 || key == nullptr)
        throw Failure(ExitCode::File, path +
                                          ": its key cannot be read (a kind of key this program does not know); "
                                          "nothing was written");
    if (certificate == nullptr) throw Failure(ExitCode::File, path + " holds no certificate; nothing was written");
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key) != kImportableRsaBits)
        throw Failure(ExitCode::File, path + " holds a " + std::to_string(EVP_PKEY_get_bits(key)) + "-bit " +
                                          keyKind(key) +
                                          " key; the token imports RSA keys of 1024 bits only; nothing was written");
}

std::set<CK_OBJECT_HANDLE> allObjects(const TokenSession& session) {
    std::set<CK_OBJECT_HANDLE> all;
    for (const CK_OBJECT_CLASS objectClass : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        const auto found = session.find(objectClass);
        all.insert(found.begin(), found.end());
    }
    return all;
}

void importPkcs12(const TokenSession& session, PKCS12* file, const Bytes& der, const ImportOptions& options) {
    const Secret secret = password(options);
    judgePkcs12(file, options.in, secret);
    const auto before = allObjects(session);
    const CK_RV rv = session.library().vendor().importPkcs12(session.handle(), der.data(), der.size(),
                                                             secret.get().data(), secret.get().size());
    if (rv == CKR_PIN_INCORRECT) throw Failure(ExitCode::Pin, "wrong password for " + options.in + ": " + rvName(rv));
    check("PKCS#12 import of " + options.in + " (KORVA importPkcs12)", rv);
    std::vector<CK_OBJECT_HANDLE> made;
    std::ranges::set_difference(allObjects(session), before, std::back_inserter(made));
    std::optional<Bytes> id;
    for (const CK_OBJECT_HANDLE object : made) {
        if (!id) id = session.attribute(object, CKA_ID);
        if (!options.label) continue;
        CK_ATTRIBUTE label{CKA_LABEL, const_cast<char*>(options.label->data()), options.label->size()};
        const CK_RV relabel = session.library()->C_SetAttributeValue(session.handle(), object, &label, 1);
        if (relabel != CKR_OK)
            std::cerr << "korva-tool: the token keeps its own label for the imported objects (" << rvName(relabel)
                      << ")\n";
    }
    std::cout << "imported " << options.in << ": a key pair and its certificate";
    if (id) std::cout << ", id " << idText(*id);
    std::cout << "\n";
}

// The CKA_ID of the token's public key that the certificate certifies.
std::optional<Bytes> idOfMatchingKey(const TokenSession& session, X509* certificate) {
    const ASN1_BIT_STRING* keyBits = X509_get0_pubkey_bitstr(certificate);
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (keyBits == nullptr) return std::nullopt;
    // GOST public keys: CKA_VALUE is the content of the OCTET STRING inside the bit string.
    const unsigned char* cursor = keyBits->data;
    std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> point(
        d2i_ASN1_OCTET_STRING(nullptr, &cursor, keyBits->length), ASN1_OCTET_STRING_free);
    BIGNUM* modulus = nullptr;
    if (key != nullptr) EVP_PKEY_get_bn_param(key, "n", &modulus);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> modulusOwner(modulus, BN_free);
    for (const CK_OBJECT_HANDLE object : session.find(CKO_PUBLIC_KEY)) {
        bool match = false;
        if (modulus != nullptr) {
            const auto value = session.attribute(object, CKA_MODULUS);
            std::unique_ptr<BIGNUM, decltype(&BN_free)> stored(
                value ? BN_bin2bn(value->data(), int(value->size()), nullptr) : nullptr, BN_free);
            match = stored && BN_cmp(stored.get(), modulus) == 0;
        } else if (point) {
            const auto value = session.attribute(object, CKA_VALUE);
            match = value && value->size() == size_t(point->length) &&
                    std::equal(value->begin(), value->end(), point->data);
        }
        if (match) return session.attribute(object, CKA_ID);
    }
    return std::nullopt;
}

void importCertificate(const TokenSession& session, X509* certificate, const Bytes& der, const ImportOptions& options) {
    std::optional<Bytes> id = options.id ? std::optional(fromHex(*options.id)) : idOfMatchingKey(session, certificate);
    if (!id)
        throw Failure(ExitCode::Usage, "no key pair on the token matches the certificate in " + options.in +
                                           "; give its CKA_ID with --id");
    const char* label = options.label ? options.label->c_str() : nullptr;
    check("certificate import of " + options.in + " (KORVA importCertificate)",
          session.library().vendor().importCertificate(session.handle(), label, id->data(), id->size(), der.data(),
                                                       der.size()));
    std::cout << "imported the certificate of " << options.in << " with id " << toHex(*id) << "\n";
}

void runImport(const GlobalOptions& global, const ImportOptions& options) {
    std::string pemLabel;
    const Bytes der = derOf(readFile(options.in), options.in, &pemLabel);
    const X509Ptr certificate = certificateFrom(der);
    const Pkcs12Ptr pkcs12 = certificate ? Pkcs12Ptr(nullptr, PKCS12_free) : pkcs12From(der);
    if (!certificate && !pkcs12)
        throw Failure(ExitCode::File, options.in +
                                          " is neither a PKCS#12 file nor a certificate (damaged or "
                                          "truncated?); nothing was written");
    const ConnectionOptions connection = global.connection();
    const Library library(global.module);
    TokenSession session(library, connection, true);
    session.login(connection);
    if (certificate)
        importCertificate(session, certificate.get(), der, options);
    else
        importPkcs12(session, pkcs12.get(), der, options);
}

}  // namespace

void addImportCommand(CLI::App& app, const GlobalOptions& global) {
    auto options = std::make_shared<ImportOptions>();
    CLI::App* command = app.add_subcommand("import",
                                           "Import a PKCS#12 file (RSA key pair and certificate) or a "
                                           "certificate (PEM or DER) into the token");
    command->add_option("--in", options->in, "The PKCS#12 file or certificate")->required();
    auto* file = command->add_option("--password-file", options->passwordFile,
                                     "Read the PKCS#12 password from the first line of this file (else it is asked "
                                     "on the terminal without echo)");
    command
        ->add_option("--password-env", options->passwordVariable,
                     "Read the PKCS#12 password from this environment variable")
        ->excludes(file);
    command->add_option("--label", options->label, "The label of the imported objects");
    command->add_option("--id", options->id,
                        "A certificate's CKA_ID in hexadecimal (default: that of the token's key pair the "
                        "certificate certifies)");
    command->callback([&global, options] { runImport(global, *options); });
}

}  // namespace korva::tool
