// The fail-closed chain that turns a downloaded archive into a bundle that may be
// installed. Each check lives in its own file; this one only fixes their order and words.
#include "update/Unpack.h"

#include <dirent.h>
#include <glib.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "core/Bundle.h"
#include "platform/Owned.h"
#include "update/Digest.h"
#include "update/Extract.h"
#include "update/Signature.h"
#include "update/Version.h"

namespace mirovan {

namespace {

constexpr const char* kDamaged = "The download was damaged.";
constexpr const char* kNotUnpacked = "Couldn't unpack it.";
constexpr const char* kOtherDeveloper =
    "The new version isn't signed by the same developer, so it wasn't installed.";
constexpr const char* kWrongVersion =
    "The download isn't the version it said it was, so it wasn't installed.";

Refusal refused(std::string message) { return {std::move(message)}; }

// The first top-level entry, in the folder's own listing order, whose extension is ".app"
// exactly; whatever it is, a bundle or not, the checks after this judge it.
std::optional<std::string> firstApp(const std::string& folder) {
    Owned<DIR, closedir> listing(opendir(folder.c_str()));
    if (!listing) return std::nullopt;
    while (const dirent* entry = readdir(listing.get())) {
        std::filesystem::path name(entry->d_name);
        if (name != "." && name != ".." && name.extension() == ".app")
            return (std::filesystem::path(folder) / name).string();
    }
    return std::nullopt;
}

bool sameTeam(const std::string& app, const std::optional<std::string>& runningTeam) {
    if (!runningTeam) return false;  // an unsigned build can take no update
    Checked<std::string> theirs = team(app);
    return theirs && *theirs == *runningTeam;
}

bool declaresVersion(const Bundle& bundle, std::int64_t version, std::int64_t current) {
    return buildNumber(bundle.string("CFBundleVersion").value_or("")) == version &&
           version > current;
}

}  // namespace

Checked<std::string> unpack(const std::string& archive, const std::string& sha256, std::int64_t version,
                const RunningApp& running) {
    // The feed's digest arrives lowercased; any other difference is damage.
    Checked<std::string> digest = sha256OfFile(archive);
    if (!digest || *digest != sha256) return refused(kDamaged);

    // Leftovers of earlier downloads go first; this archive gets a folder of its own.
    g_autofree char* uuid = g_uuid_string_random();
    std::string folder = (std::filesystem::path(running.work) / uuid).string();
    std::error_code ignored;
    std::filesystem::remove_all(running.work, ignored);
    if (g_mkdir_with_parents(folder.c_str(), 0777) != 0) return refused(g_strerror(errno));

    if (!extractZip(archive, folder)) return refused(kNotUnpacked);

    std::optional<std::string> app = firstApp(folder);
    if (!app) return refused(kNotUnpacked);

    if (Bundle::at(*app).identifier() != running.identifier) return refused(kOtherDeveloper);

    if (!sameTeam(*app, running.team)) return refused(kOtherDeveloper);

    // Read after the signature check, so the number is the one that was signed.
    if (!declaresVersion(Bundle::at(*app), version, running.current)) return refused(kWrongVersion);

    return *app;
}

}  // namespace mirovan
