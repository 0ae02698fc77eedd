// The updater's entry points. The feed, download and verification are not in this
// build yet: no build is ever ready, so there is nothing to install.
#include "update/Updater.h"

namespace mirovan {

Updater& Updater::shared() {
    static Updater updater;
    return updater;
}

void Updater::start() {}

void Updater::check(bool) {}

void Updater::install(bool) {}

}  // namespace mirovan
