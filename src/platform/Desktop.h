// The desktop's own applications: the user's default browser and the file manager.
// Both are fire and forget: a failure (no browser, a folder that has gone) stays silent.
#pragma once

#include <string>

namespace mirovan {

// Hands `url` to the default handler for its scheme.
void openInBrowser(const std::string& url);

// Shows the folder at `folderUri` (a file URL) selected in the file manager; without a
// file manager on the session bus, opens the folder's parent with its default handler.
void showInFileManager(const std::string& folderUri);

}  // namespace mirovan
