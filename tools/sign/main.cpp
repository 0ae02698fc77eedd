// mirovan-sign: makes a developer key, signs a bundle with it, and checks a bundle the way
// the updater does before it accepts one.
#include "update/Signature.h"
#include "update/Signing.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr const char* usage =
    "usage: mirovan-sign keygen KEYFILE        make a new private key; prints its team\n"
    "       mirovan-sign sign BUNDLE KEYFILE   sign BUNDLE (X.app); prints the team\n"
    "       mirovan-sign verify BUNDLE         check BUNDLE strictly; prints its identifier and team\n";

int fail(const std::string& what, const std::string& problem, const std::string& cause = "") {
    std::fprintf(stderr, "mirovan-sign: %s: %s%s%s\n", what.c_str(), problem.c_str(), cause.empty() ? "" : ": ",
                 cause.c_str());
    return 1;
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
    std::fputs(usage, stderr);
    return 2;
}
