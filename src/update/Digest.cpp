// SHA-256 with OpenSSL's EVP interface, as 64 lowercase hexadecimal digits.
#include "update/Digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

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
    std::string text;
    text.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        text += pair;
    }
    return text;
}

}  // namespace

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
        ssize_t got = read(file.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
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
