// The fail-closed chain that turns a downloaded archive into a bundle that may be
// installed. Each check lives in its own file; this one only fixes their order and words.
#include "update/Unpack.h"

#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "core/Bundle.h"
#include "platform/Owned.h"
#include "update/Digest.h"
#include "update/Extract.h"
#include "update/Room.h"
#include "update/Signature.h"
#include "update/SwapScript.h"
#include "update/Version.h"

namespace mirovan {

namespace {

constexpr const char* kDamaged = "The download was damaged.";
constexpr const char* kNotUnpacked = "Couldn't unpack it.";
constexpr const char* kOtherDeveloper = "The new version isn't signed by the same developer, so it wasn't installed.";
constexpr const char* kNoScratch = "There is no private folder to download it to.";
constexpr const char* kWrongVersion = "The download isn't the version it said it was, so it wasn't installed.";

// The chain's own words for the user, and the failing step's finding for the log.
Refusal refused(std::string message, std::string cause = "") { return {std::move(message), std::move(cause)}; }
// The same, for a finding that the archive's bytes alone decide.
Refusal lasting(std::string message, std::string cause) { return {std::move(message), std::move(cause), true}; }

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

Checked<> sameTeam(const std::string& app, const std::optional<std::string>& runningTeam) {
    if (!runningTeam) return refused(kOtherDeveloper, "the running copy is not signed");
    Checked<std::string> theirs = team(app);
    if (!theirs) return lasting(kOtherDeveloper, theirs.why());
    if (*theirs != *runningTeam) return lasting(kOtherDeveloper, "signed by team " + *theirs);
    return accepted();
}

bool declaresVersion(const Bundle& bundle, std::int64_t version, std::int64_t current) {
    return buildNumber(bundle.string("CFBundleVersion").value_or("")) == version && version > current;
}

}  // namespace

Checked<> makeScratch(const std::string& work) {
    std::error_code error;
    std::filesystem::remove_all(work, error);
    if (error) return refused(kNoScratch, error.message());
    g_autofree char* parent = g_path_get_dirname(work.c_str());
    if (g_mkdir_with_parents(parent, 0700) != 0 || mkdir(work.c_str(), 0700) != 0)
        return refused(kNoScratch, g_strerror(errno));
    // The umask may have taken bits away, never added them; a folder that was there
    // already (a race) is not ours to trust.
    struct stat st;
    if (lstat(work.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077))
        return refused(kNoScratch, "the scratch folder is not private");
    return accepted();
}

Checked<> recheck(const std::string& app, std::int64_t version, const RunningApp& running) {
    Bundle unchecked = Bundle::at(app);
    if (!unchecked.info())
        return lasting(kOtherDeveloper, "its Info.plist couldn't be read: " + unchecked.info().cause());
    if (unchecked.identifier() != running.identifier)
        return lasting(kOtherDeveloper, "its identifier is not " + running.identifier.value_or("set"));
    if (auto same = sameTeam(app, running.team); !same) return same;
    // Read after the signature check, so the number is the one that was signed.
    Bundle bundle = Bundle::at(app);
    if (!declaresVersion(bundle, version, running.current))
        return lasting(kWrongVersion, "it is build " + bundle.string("CFBundleVersion").value_or("?") +
                                          ", the feed said " + std::to_string(version));
    // A bundle that cannot be started would be offered, and never installed, for ever.
    std::string program = bundle.string("CFBundleExecutable").value_or("");
    if (!plainFileName(program) ||
        !g_file_test((app + "/Contents/Linux/" + program).c_str(), G_FILE_TEST_IS_EXECUTABLE))
        return lasting(kNotUnpacked, "it has no program to start");
    return accepted();
}

Checked<std::string> unpack(const std::string& archive, const std::string& sha256, std::int64_t version,
                            const RunningApp& running) {
    // The feed's digest arrives lowercased; any other difference is damage.
    Checked<std::string> digest = sha256OfFile(archive);
    if (!digest) return refused(kDamaged, digest.why());
    if (*digest != sha256) return refused(kDamaged, "its SHA-256 is not the one the feed gave");

    // A folder of its own, private like the scratch folder, and gone again on refusal.
    g_autofree char* uuid = g_uuid_string_random();
    std::string folder = (std::filesystem::path(running.work) / uuid).string();
    if (mkdir(folder.c_str(), 0700) != 0) return refused(kNotUnpacked, g_strerror(errno));
    auto refuse = [&](Refusal refusal) -> Checked<std::string> {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        return refusal;
    };

    Checked<std::uint64_t> free = freeSpace(folder);
    if (!free) return refuse(refused(kNotUnpacked, free.cause()));
    ExtractLimits limits = extractLimits(*free);
    if (auto extracted = extractZip(archive, folder, limits); !extracted) {
        // No room is said as it is; the rest is the archive's failing, or the moment's.
        if (extracted.why() == limits.full.why) return refuse(extracted.refusal());
        return refuse({kNotUnpacked, extracted.why(), extracted.refusal().lasting});
    }

    std::optional<std::string> app = firstApp(folder);
    if (!app) return refuse(lasting(kNotUnpacked, "it holds no .app folder"));
    if (auto checked = recheck(*app, version, running); !checked) return refuse(checked.refusal());
    return *app;
}

}  // namespace mirovan
