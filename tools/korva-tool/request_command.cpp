// korva-tool request: a PKCS#10 certificate request signed on the token.
#include "tools/korva-tool/commands.h"

#include "tools/korva-tool/distinguished_name.h"
#include "tools/korva-tool/failure.h"
#include "tools/korva-tool/files.h"

#include <algorithm>
#include <iostream>

namespace korva::tool {
namespace {

struct RequestOptions {
    ObjectChoice key;
    std::string subject;
    std::string out;
    bool der = false;
    bool gost2012 = false;
    std::vector<std::string> extensions;
    std::vector<std::string> attributes;
};

NameEntry splitAssignment(const std::string& text, const char* option) {
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        throw Failure(ExitCode::Usage, std::string(option) + " \"" + text + "\": NAME=VALUE expected");
    return {text.substr(0, equals), text.substr(equals + 1)};
}

// "keyUsage=critical,digitalSignature": the criticality is the token's
// own argument, the rest goes to OpenSSL's extension syntax.
struct Extension {
    std::string name, value;
    bool critical = false;
};

Extension parseExtension(const std::string& text) {
    auto [name, value] = splitAssignment(text, "--extension");
    constexpr std::string_view kCritical = "critical,";
    const bool critical = value.starts_with(kCritical);
    if (critical) value.erase(0, kCritical.size());
    return {name, value, critical};
}

// A 256-bit GOST key on a TC26 parameter set (1.2.643.7.1.2.1.1.x), whose
// curve the token's requests do not know.
bool onTc26Curve256(const TokenSession& session, CK_OBJECT_HANDLE publicKey) {
    static const Bytes kTc26Curves256 = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x01};
    const auto parameters = session.attribute(publicKey, CKA_GOSTR3410_PARAMS);
    return parameters && parameters->size() == kTc26Curves256.size() + 1 &&
           std::equal(kTc26Curves256.begin(), kTc26Curves256.end(), parameters->begin());
}

// Requests are a few hundred bytes: one call usually does, and saves the
// token a second signature.
Bytes createRequest(const TokenSession& session, CK_OBJECT_HANDLE publicKey,
                    const std::vector<KORVA_NAME_VALUE>& subject, const std::vector<KORVA_NAME_VALUE>& attributes,
                    const std::vector<KORVA_EXTENSION>& extensions) {
    const auto& vendor = session.library().vendor();
    Bytes request(16 * 1024);
    for (int attempt = 0; attempt < 2; ++attempt) {
        CK_ULONG length = request.size();
        const CK_RV rv = vendor.createCertificateRequest(session.handle(), publicKey, 0, subject.data(), subject.size(),
                                                         attributes.data(), attributes.size(), extensions.data(),
                                                         extensions.size(), request.data(), &length);
        request.resize(length);
        if (rv == CKR_BUFFER_TOO_SMALL) continue;
        if (rv == CKR_VENDOR_SUBJECT_ENTRY_REJECTED)
            throw Failure(ExitCode::Usage,
                          "the token refused an entry of the subject (unknown type or a value "
                          "its type does not allow): " +
                              rvName(rv));
        if (rv == CKR_VENDOR_EXTENSION_REJECTED)
            throw Failure(ExitCode::Usage,
                          "the token could not build an extension from its name and value: " + rvName(rv));
        if (rv == CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED)
            throw Failure(ExitCode::Usage, "the token refused a request attribute: " + rvName(rv));
        if (rv == CKR_FUNCTION_FAILED && onTc26Curve256(session, publicKey))
            throw Failure(ExitCode::Token, "certificate request (KORVA createCertificateRequest): " + rvName(rv) +
                                               ": the token signs requests of 256-bit GOST keys on the CryptoPro "
                                               "parameter sets only, and this key is on a TC26 set");
        check("certificate request (KORVA createCertificateRequest)", rv);
        return request;
    }
    failCall("certificate request (KORVA createCertificateRequest)", CKR_BUFFER_TOO_SMALL);
}

void request(const GlobalOptions& global, const RequestOptions& options) {
    const auto names = parseDistinguishedName(options.subject);
    std::vector<Extension> extensions;
    for (const std::string& text : options.extensions) extensions.push_back(parseExtension(text));
    std::vector<NameEntry> attributeTexts;
    for (const std::string& text : options.attributes) attributeTexts.push_back(splitAssignment(text, "--attribute"));
    if (options.gost2012) attributeTexts.emplace_back(KORVA_ATTRIBUTE_GOST2012_256_PROFILE, "");

    std::vector<KORVA_NAME_VALUE> subject, attributes;
    for (const auto& [name, value] : names) subject.push_back({name.c_str(), value.c_str()});
    for (const auto& [name, value] : attributeTexts) attributes.push_back({name.c_str(), value.c_str()});
    std::vector<KORVA_EXTENSION> extensionList;
    for (const Extension& e : extensions)
        extensionList.push_back({e.name.c_str(), e.value.c_str(), static_cast<unsigned char>(e.critical)});

    const ConnectionOptions connection = global.connection();
    const Library library(global.module);
    TokenSession session(library, connection, false);
    session.login(connection);
    const CK_OBJECT_HANDLE publicKey = session.findOne(CKO_PUBLIC_KEY, options.key.idBytes(), options.key.label);
    const Bytes der = createRequest(session, publicKey, subject, attributes, extensionList);
    writeFile(options.out, options.der ? der : pemOf(der, "CERTIFICATE REQUEST"));
    std::cout << "certificate request written to " << options.out << "\n";
}

}  // namespace

void addRequestCommand(CLI::App& app, const GlobalOptions& global) {
    auto options = std::make_shared<RequestOptions>();
    CLI::App* command = app.add_subcommand("request",
                                           "Make a PKCS#10 certificate request for a key pair on the "
                                           "token, signed by the token");
    options->key.addOptions(*command, "the key pair");
    command
        ->add_option("--subject", options->subject,
                     "The subject as RFC 4514 text, most specific entry first, e.g. "
                     "\"CN=Ivan Petrov,O=Example,C=RU\"; types by short name, long name or dotted "
                     "identifier (1.2.643.100.1 OGRN, 1.2.643.100.3 SNILS, 1.2.643.3.131.1.1 INN "
                     "become NumericStrings)")
        ->required();
    command->add_option("--out", options->out, "The file to write the request to")->required();
    command->add_flag("--der", options->der, "Write DER instead of PEM");
    command->add_option("--extension", options->extensions,
                        "An extension as NAME=VALUE in OpenSSL's extension syntax, \"critical,\" first for "
                        "a critical one, e.g. keyUsage=critical,digitalSignature (repeatable)");
    command->add_option("--attribute", options->attributes,
                        "A request attribute as NAME=VALUE, e.g. challengePassword=... (repeatable)");
    command->add_flag("--gost2012-256", options->gost2012,
                      "Sign the request of a 256-bit GOST key with GOST R 34.11-2012 hashing even when the key's "
                      "hash parameters name GOST R 34.11-94");
    command->callback([&global, options] { request(global, *options); });
}

void ObjectChoice::addOptions(CLI::App& command, const std::string& what) {
    auto* byId = command.add_option("--id", id, "The CKA_ID of " + what + ", in hexadecimal");
    command.add_option("--label", label, "The CKA_LABEL of " + what)->excludes(byId);
}

std::optional<Bytes> ObjectChoice::idBytes() const {
    if (!id) return std::nullopt;
    return fromHex(*id);
}

ConnectionOptions GlobalOptions::connection() const {
    ConnectionOptions options;
    options.module = module;
    options.slot = slot;
    if (pin) options.pin = Secret(*pin);
    if (pinFile) options.pin = readSecretFile(*pinFile);
    return options;
}

}  // namespace korva::tool
