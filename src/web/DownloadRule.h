// What a download is saved as: the name proposed in the Save dialog, where the data waits
// until it is complete, whether it may then take its name, and what the window says.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace mirovan {

// The server's suggested file name made safe to propose: its last path component, without
// control characters or leading dots (no hidden files), at most 255 bytes of whole
// characters; "download" when nothing is left.
std::string proposedName(std::string_view suggested);

// A g_mkdtemp template for the hidden folder beside `target` that receives the data: on
// the same file system, so that the last step is an atomic rename, and within NAME_MAX
// for any target name. Removing the folder also stops any late write into it.
std::string partTemplate(const std::string& target);

// The file in that folder that WebKit is told to write: short, so that WebKit's own
// partial file beside it (the name with a suffix) fits NAME_MAX too.
inline constexpr const char* partData = "data";

// Which file sits at a path: one replaced by a rename is another file.
struct FileId {
    dev_t device;
    ino_t inode;
    bool operator==(const FileId&) const = default;
};

// Whether a finished download may be renamed onto its target. `superseded`: a later
// download was saved to the same name; `leftThere`: what sat at the target when the user
// chose it (our empty placeholder, or the file the Save dialog asked to replace); `now`:
// what sits there now. The name is taken only if nobody chose it again or put another
// file there meanwhile, so the first download to finish never replaces a later choice.
bool mayPlace(bool superseded, std::optional<FileId> leftThere, std::optional<FileId> now);

// Whether a Content-Disposition header's value asks for the response to be saved rather
// than shown.
bool isAttachment(std::string_view contentDisposition);

std::string savedMessage(const std::string& name);
// Says why, with a long name shortened in the middle so that the reason stays in view.
std::string failedMessage(const std::string& name, const std::string& reason);

}  // namespace mirovan
