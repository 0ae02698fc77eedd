// What the updater needs of the app, in the updater's own terms: who is running, an offer
// to restart, a message, leaving the page and quitting. The app's window carries them out.
#pragma once

#include <functional>
#include <string>

#include "core/Bundle.h"
#include "update/UpdaterRule.h"

namespace mirovan {

enum class OfferAnswer { restart, later };

class UpdaterDriver {
public:
    virtual const Bundle& bundle() const = 0;
    // CFBundleName, or "Mirovan".
    virtual std::string name() const = 0;
    // Offers to restart into the update called `label`; `reply` runs once with the choice
    // (a dismissed offer, or one that could not be shown, is "later").
    virtual void offer(const std::string& label, std::function<void(OfferAnswer)> reply) = 0;
    // Shows a one-button message; `done` runs once it has gone, or at once if not shown.
    virtual void tell(const Message& message, std::function<void()> done) = 0;
    // Runs `proceed` once the page agrees to be left (it may keep unsaved work and ask);
    // never, when the user chose to stay.
    virtual void leavePage(std::function<void()> proceed) = 0;
    // Ends the app by its one termination path.
    virtual void quit() = 0;

protected:
    ~UpdaterDriver() = default;
};

}  // namespace mirovan
