// Failed loads come back to the server's page by themselves, a second later.
#pragma once

namespace mirovan {

class App;

void connectLoadRecovery(App& app);

}  // namespace mirovan
