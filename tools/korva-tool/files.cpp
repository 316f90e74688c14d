#include "tools/korva-tool/files.h"

#include "tools/korva-tool/failure.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace korva::tool {
namespace {

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

constexpr char kPemStart[] = "-----BEGIN ";

}  // namespace

Bytes readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw Failure(ExitCode::File, "cannot read " + path);
    Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) throw Failure(ExitCode::File, "cannot read " + path);
    return bytes;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    const std::string temporary = path + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        file.close();
        if (!file) {
            std::remove(temporary.c_str());
            throw Failure(ExitCode::File, "cannot write " + path);
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::remove(temporary.c_str());
        throw Failure(ExitCode::File, "cannot write " + path + ": " + error.message());
    }
}

bool isPem(const Bytes& bytes) {
    const std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 200));
    return head.find(kPemStart) != std::string::npos;
}

Bytes derOf(const Bytes& bytes, const std::string& path, std::string* label) {
    if (!isPem(bytes)) return bytes;
    const BioPtr in(BIO_new_mem_buf(bytes.data(), int(bytes.size())), BIO_free);
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (!in || PEM_read_bio(in.get(), &name, &header, &data, &length) != 1)
        throw Failure(ExitCode::File, path + " starts like PEM but its armour or base64 is broken");
    Bytes der(data, data + length);
    if (label != nullptr) *label = name;
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    return der;
}

Bytes pemOf(const Bytes& der, const std::string& label) {
    const BioPtr out(BIO_new(BIO_s_mem()), BIO_free);
    if (!out || PEM_write_bio(out.get(), label.c_str(), "", der.data(), long(der.size())) <= 0)
        throw Failure(ExitCode::File, "cannot encode PEM");
    char* text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    return Bytes(text, text + length);
}

}  // namespace korva::tool
