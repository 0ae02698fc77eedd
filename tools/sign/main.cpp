// mirovan-sign: makes a developer key, signs a bundle with it, and checks a bundle, or an
// update archive, the way the updater does before it accepts one.
#include "update/Signature.h"
#include "update/Signing.h"

#include <glib.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/Bundle.h"
#include "update/Digest.h"
#include "update/Unpack.h"
#include "update/Version.h"

namespace {

constexpr const char* usage =
    "usage: mirovan-sign keygen KEYFILE        make a new private key; prints its team\n"
    "       mirovan-sign sign BUNDLE KEYFILE   sign BUNDLE (X.app); prints the team\n"
    "       mirovan-sign verify BUNDLE         check BUNDLE strictly; prints its identifier and team\n"
    "       mirovan-sign check ARCHIVE BUNDLE  unpack and check ARCHIVE as a copy of BUNDLE's previous\n"
    "                                          build would, with the same code and limits, beside it\n";

int fail(const std::string& what, const std::string& problem, const std::string& cause = "") {
    std::fprintf(stderr, "mirovan-sign: %s: %s%s%s\n", what.c_str(), problem.c_str(), cause.empty() ? "" : ": ",
                 cause.c_str());
    return 1;
}

// The update archive as a running copy of build N-1 of `bundle` takes it, unpacked in a
// private folder beside the archive (whose filesystem's room then counts) and removed after.
int checkArchive(const char* archive, const char* bundlePath) {
    auto validated = mirovan::validate(bundlePath);
    if (!validated) return fail(bundlePath, validated.why());
    std::int64_t version = mirovan::buildNumber(mirovan::Bundle::at(bundlePath).string("CFBundleVersion").value_or(""));
    auto digest = mirovan::sha256OfFile(archive);
    if (!digest) return fail(archive, digest.why(), digest.cause());
    g_autofree char* folder = g_path_get_dirname(archive);
    std::string work = std::string(folder) + "/.check-XXXXXX";
    if (!mkdtemp(work.data())) return fail(archive, "no folder to unpack it in", g_strerror(errno));
    auto unpacked =
        mirovan::unpack(archive, *digest, version, {validated->identifier, validated->team, version - 1, work});
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
    if (!unpacked) return fail(archive, "clients would refuse it: " + unpacked.why(), unpacked.cause());
    std::printf("accepted as build %lld of %s\n", static_cast<long long>(version), validated->identifier.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (argc == 2 && (command == "-h" || command == "--help")) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (command == "keygen" && argc == 3) {
        auto team = mirovan::makeKey(argv[2]);
        if (!team) return fail("keygen", team.why(), team.cause());
        std::printf("%s\n", team->c_str());
        return 0;
    }
    if (command == "sign" && argc == 4) {
        if (auto signature = mirovan::signBundle(argv[2], argv[3]); !signature)
            return fail(argv[2], signature.why(), signature.cause());
        // The team as the updater will see it, which also proves the new signature holds.
        auto result = mirovan::validate(argv[2]);
        if (!result) return fail(argv[2], "signed, but it does not verify: " + result.why());
        std::printf("%s\n", result->team.c_str());
        return 0;
    }
    if (command == "verify" && argc == 3) {
        auto result = mirovan::validate(argv[2]);
        if (!result) return fail(argv[2], result.why());
        std::printf("identifier: %s\nteam: %s\n", result->identifier.c_str(), result->team.c_str());
        return 0;
    }
    if (command == "check" && argc == 4) return checkArchive(argv[2], argv[3]);
    std::fputs(usage, stderr);
    return 2;
}
