// SHA-256 with OpenSSL's EVP interface, as 64 lowercase hexadecimal digits.
#include "update/Digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/Interrupted.h"
#include "platform/Owned.h"

namespace mirovan {

namespace {

using Context = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;

Context newContext() {
    Context context(EVP_MD_CTX_new());
    if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) context.reset();
    return context;
}

std::optional<std::string> finish(EVP_MD_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1) return std::nullopt;
    return hexText(digest, length);
}

}  // namespace

std::string hexText(const unsigned char* bytes, std::size_t size, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string sha256Hex(std::string_view bytes) {
    Context context = newContext();
    if (!context || EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1) return {};
    return finish(context.get()).value_or(std::string());
}

Checked<std::string> sha256OfFile(const std::string& path) {
    Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return Refusal{"The download could not be read."};
    Context context = newContext();
    if (!context) return Refusal{"SHA-256 is not available."};
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ssize_t got = uninterrupted([&] { return read(file.get(), buffer.data(), buffer.size()); });
        if (got < 0) return Refusal{"The download could not be read."};  // a directory, an I/O error
        if (got == 0) break;
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got)) != 1)
            return Refusal{"SHA-256 is not available."};
    }
    auto digest = finish(context.get());
    if (!digest) return Refusal{"SHA-256 is not available."};
    return *digest;
}

}  // namespace mirovan
