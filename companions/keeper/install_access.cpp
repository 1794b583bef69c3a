// The access an installation gives: the interactive user's tray starts, stops and
// queries the service, and reads and writes the values of the settings key, which
// nobody else but the system and administrators may read (it holds the account).
#include "companions/keeper/keeper.h"

#include "platform/access.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "utils/log.h"

// The manager's default list, with start (RP) and stop (WP) added for interactive
// users (IU): SYSTEM and administrators as by default, service logons (SU) query only.
const char KEEPER_SERVICE_SDDL[] = "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)"
                                   "(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                                   "(A;;CCLCSWRPWPLOCRRC;;;IU)"
                                   "(A;;CCLCSWLOCRRC;;;SU)";
// Protected (P): nothing inherited from SOFTWARE, whose list lets every user read.
// SYSTEM (the service) and administrators (the installer) all rights; interactive
// users query and set values (0x3), which is all the tray and varnex-update ask for.
const char KEEPER_KEY_SDDL[] = "D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;0x3;;;IU)";

// A service manager that has not settled yet (seen under Wine) may not know the
// service it has just recorded (1060): the step is tried again for up to 9 s, as a
// loaded machine's manager may take a while.
enum { ACCESS_TRIES = 30, ACCESS_RETRY_MS = 300 };

int32_t keeper_grant_access() {
    bool set = false;
    for (int i = 0; i < ACCESS_TRIES && !set; i++) {
        if (i) os_sleep_ms(ACCESS_RETRY_MS);
        set = service_set_access(KEEPER_SERVICE_NAME, KEEPER_SERVICE_SDDL);
    }
    if (!set)
        return log_printf(KEEPER, SEV_F, "Setting the access of %s -> %d", KEEPER_SERVICE_NAME,
                          os_error());
    reg_key key;
    if (!reg_open(KEEPER_SETTINGS_KEY, true, &key))
        return log_printf(KEEPER, SEV_F, "Registry key '%s' -> %d", KEEPER_SETTINGS_KEY,
                          os_error());
    reg_close(&key);
    if (!reg_set_access(KEEPER_SETTINGS_KEY, KEEPER_KEY_SDDL))
        return log_printf(KEEPER, SEV_F, "Setting the access of '%s' -> %d", KEEPER_SETTINGS_KEY,
                          os_error());
    return log_printf(KEEPER, SEV_I, "Access of %s: %s; of the settings key: %s",
                      KEEPER_SERVICE_NAME, KEEPER_SERVICE_SDDL, KEEPER_KEY_SDDL);
}
