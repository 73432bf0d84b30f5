// Platforms without private-profile functions use our own INI store.
#include "config/profile_ini.h"

namespace cashdrawer {

ProfileStore& SystemProfileStore() {
    static IniProfileStore store;
    return store;
}

} // namespace cashdrawer
