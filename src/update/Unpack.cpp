// The fail-closed chain that turns a downloaded archive into a bundle that may be
// installed. Each check lives in its own file; this one only fixes their order and words.
#include "update/Unpack.h"

#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "core/Bundle.h"
#include "platform/Owned.h"
#include "update/Digest.h"
#include "update/Extract.h"
#include "update/Signature.h"
#include "update/SwapScript.h"
#include "update/Version.h"

namespace mirovan {

namespace {

constexpr const char* kDamaged = "The download was damaged.";
constexpr const char* kNotUnpacked = "Couldn't unpack it.";
constexpr const char* kOtherDeveloper = "The new version isn't signed by the same developer, so it wasn't installed.";
constexpr const char* kWrongVersion = "The download isn't the version it said it was, so it wasn't installed.";

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
    return buildNumber(bundle.string("CFBundleVersion").value_or("")) == version && version > current;
}

}  // namespace

Checked<> makeScratch(const std::string& work) {
    std::error_code error;
    std::filesystem::remove_all(work, error);
    if (error) return Refusal{error.message()};
    g_autofree char* parent = g_path_get_dirname(work.c_str());
    if (g_mkdir_with_parents(parent, 0700) != 0 || mkdir(work.c_str(), 0700) != 0) return Refusal{g_strerror(errno)};
    // The umask may have taken bits away, never added them; a folder that was there
    // already (a race) is not ours to trust.
    struct stat st;
    if (lstat(work.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077))
        return Refusal{"the scratch folder is not private"};
    return accepted();
}

Checked<> recheck(const std::string& app, std::int64_t version, const RunningApp& running) {
    if (Bundle::at(app).identifier() != running.identifier) return refused(kOtherDeveloper);
    if (!sameTeam(app, running.team)) return refused(kOtherDeveloper);
    // Read after the signature check, so the number is the one that was signed.
    Bundle bundle = Bundle::at(app);
    if (!declaresVersion(bundle, version, running.current)) return refused(kWrongVersion);
    // A bundle that cannot be started would be offered, and never installed, for ever.
    std::string program = bundle.string("CFBundleExecutable").value_or("");
    if (!plainFileName(program) ||
        !g_file_test((app + "/Contents/Linux/" + program).c_str(), G_FILE_TEST_IS_EXECUTABLE))
        return refused(kNotUnpacked);
    return accepted();
}

Checked<std::string> unpack(const std::string& archive, const std::string& sha256, std::int64_t version,
                            const RunningApp& running) {
    // The feed's digest arrives lowercased; any other difference is damage.
    Checked<std::string> digest = sha256OfFile(archive);
    if (!digest || *digest != sha256) return refused(kDamaged);

    // A folder of its own, private like the scratch folder, and gone again on refusal.
    g_autofree char* uuid = g_uuid_string_random();
    std::string folder = (std::filesystem::path(running.work) / uuid).string();
    if (mkdir(folder.c_str(), 0700) != 0) return refused(g_strerror(errno));
    auto refuse = [&](const char* message) -> Checked<std::string> {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        return refused(message);
    };

    struct stat archiveStat;
    struct statvfs room;
    if (stat(archive.c_str(), &archiveStat) != 0 || statvfs(folder.c_str(), &room) != 0) return refuse(kNotUnpacked);
    ExtractLimits limits =
        extractLimits(std::uint64_t(archiveStat.st_size), std::uint64_t(room.f_bavail) * room.f_frsize);
    if (!extractZip(archive, folder, limits)) return refuse(kNotUnpacked);

    std::optional<std::string> app = firstApp(folder);
    if (!app) return refuse(kNotUnpacked);
    if (auto checked = recheck(*app, version, running); !checked) return refuse(checked.why().c_str());
    return *app;
}

}  // namespace mirovan
