// The self-updater: its schedule, the check of the feed and the install at quit.
#pragma once

namespace mirovan {

class Updater {
public:
    static Updater& shared();

    // Schedules the quiet checks; called once at the end of launch.
    void start();
    // Looks for a newer build; a quiet check reports nothing but an offer.
    void check(bool quiet);
    // Installs a verified build that is waiting, if any; called at termination.
    void install(bool relaunch);

private:
    Updater() = default;
};

}  // namespace mirovan
