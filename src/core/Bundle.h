// The application bundle on disk: where it is, its resources, and its Info.plist.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Checked.h"

namespace mirovan {

// A name that stays one entry of its folder: not empty, "." or "..", no '/' and no NUL.
// Names read from Info.plist come from a file anyone may have edited.
bool plainFileName(const std::string& name);

class Bundle {
public:
    // The bundle around a program at `executable`: X.app when the program lies in
    // X.app/Contents/Linux/, otherwise the program's own folder with no Info.plist.
    static Bundle forExecutable(const std::string& executable);
    // The bundle at `root` (X.app), reading X.app/Contents/Info.plist if it is there.
    static Bundle at(const std::string& root);

    const std::string& root() const { return root_; }
    const std::string& resources() const { return resources_; }

    // An Info.plist value when it exists and is a string.
    std::optional<std::string> string(const char* key) const;
    // An Info.plist value when it exists and is a boolean.
    std::optional<bool> boolean(const char* key) const;
    // CFBundleName when it is a string (an empty one included), else "Mirovan".
    std::string name() const;
    std::optional<std::string> identifier() const { return string("CFBundleIdentifier"); }
    // The name of the app's own folders (its web store): the identifier, else the name,
    // when it is a plain file name; else "Mirovan".
    std::string folderName() const;
    // Whether the Info.plist was read, or why not (a bundle without one reads as empty).
    const Checked<>& info() const { return infoRead_; }

private:
    std::string root_;
    std::string resources_;
    std::shared_ptr<void> info_;  // plist_t of the Info.plist dictionary, when readable
    Checked<> infoRead_ = Refusal{"There is no Info.plist.", ""};
};

}  // namespace mirovan
