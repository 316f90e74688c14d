// korva-tool sign and verify: PKCS#7 signed messages, attached or detached.
#include "tools/korva-tool/commands.h"

#include "tools/korva-tool/failure.h"
#include "tools/korva-tool/files.h"

#include <iostream>

namespace korva::tool {
namespace {

struct SignOptions {
    ObjectChoice certificate;
    std::string in, out;
    bool detached = false;
    bool der = false;
};

struct VerifyOptions {
    std::string in;
    std::optional<std::string> content;
};

void sign(const GlobalOptions& global, const SignOptions& options) {
    const Bytes data = readFile(options.in);
    if (data.empty()) throw Failure(ExitCode::File, options.in + " is empty: nothing to sign");
    const ConnectionOptions connection = global.connection();
    const Library library(global.module);
    TokenSession session(library, connection, false);
    session.login(connection);
    const CK_OBJECT_HANDLE certificate =
        session.findOne(CKO_CERTIFICATE, options.certificate.idBytes(), options.certificate.label);
    const auto& vendor = library.vendor();
    const CK_ULONG flags = options.detached ? KORVA_MESSAGE_DETACHED : 0;
    // The message holds the content (unless detached), the certificate and
    // the signature: a first guess that saves the token a second signature.
    Bytes message(data.size() * (options.detached ? 0 : 1) + 16 * 1024);
    CK_RV rv = CKR_OK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        CK_ULONG length = message.size();
        rv = vendor.signMessage(session.handle(), certificate, 0, nullptr, 0, data.data(), data.size(), flags,
                                message.data(), &length);
        message.resize(length);
        if (rv != CKR_BUFFER_TOO_SMALL) break;
    }
    check("signed message (KORVA signMessage)", rv);
    writeFile(options.out, options.der ? message : pemOf(message, "PKCS7"));
    std::cout << (options.detached ? "detached " : "") << "signed message written to " << options.out << "\n";
}

ExitCode verify(const GlobalOptions& global, const VerifyOptions& options) {
    const Bytes message = derOf(readFile(options.in), options.in);
    const Bytes content = options.content ? readFile(*options.content) : Bytes{};
    if (options.content && content.empty()) throw Failure(ExitCode::File, *options.content + " is empty");
    const ConnectionOptions connection = global.connection();
    const Library library(global.module);
    TokenSession session(library, connection, false);
    const CK_RV rv = library.vendor().verifyMessage(session.handle(), message.data(), message.size(),
                                                    options.content ? content.data() : nullptr, content.size());
    if (rv == CKR_OK) {
        std::cout << "signature good (the signer's certificate is taken from the message; its chain is not judged)\n";
        return ExitCode::Ok;
    }
    if (rv == CKR_SIGNATURE_INVALID) {
        std::cerr << "korva-tool: signature refused (" << rvName(rv)
                  << "): the message or its content was changed, the content is not the signed one, or the "
                     "signer's certificate is missing\n";
        return ExitCode::Refused;
    }
    if (rv == CKR_DATA_INVALID)
        throw Failure(ExitCode::File, options.in + " is not a PKCS#7 signed message: " + rvName(rv));
    failCall("verification (KORVA verifyMessage)", rv);
}

}  // namespace

void addMessageCommands(CLI::App& app, const GlobalOptions& global) {
    auto signing = std::make_shared<SignOptions>();
    CLI::App* sign_ = app.add_subcommand("sign",
                                         "Sign a file on the token as a PKCS#7 signed message that "
                                         "carries the signer's certificate");
    signing->certificate.addOptions(*sign_, "the signer's certificate (its key pair has the same CKA_ID)");
    sign_->add_option("--in", signing->in, "The file to sign")->required();
    sign_->add_option("--out", signing->out, "The file to write the message to")->required();
    sign_->add_flag("--detached", signing->detached, "Leave the content out of the message");
    sign_->add_flag("--der", signing->der, "Write DER instead of PEM");
    sign_->callback([&global, signing] { sign(global, *signing); });

    auto verifying = std::make_shared<VerifyOptions>();
    CLI::App* verify_ = app.add_subcommand("verify",
                                           "Check a PKCS#7 signed message (PEM or DER) with the "
                                           "signer's certificate it carries; exit 0 only for a good "
                                           "signature, 1 for a refused one");
    verify_->add_option("--in", verifying->in, "The signed message")->required();
    verify_->add_option("--content", verifying->content, "The signed content of a detached message");
    verify_->callback([&global, verifying] {
        const ExitCode code = verify(global, *verifying);
        if (code != ExitCode::Ok) throw CLI::RuntimeError(static_cast<int>(code));
    });
}

}  // namespace korva::tool
