// Downloads the page starts, from any frame, saved only where the user chooses.
#pragma once

namespace mirovan {

class App;

// Wires the web view's network session's downloads; called at launch once the window exists.
void connectDownloads(App& app);

// Removes the hidden files of downloads still running, as the app ends.
void dropUnfinishedDownloads();

}  // namespace mirovan
