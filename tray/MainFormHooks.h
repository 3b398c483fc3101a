// Where the main form hands work to the units built beside it: the default
// user-PIN check and PIN dialog, the settings dialog and the update check.
// Each hook is empty until its unit connects it (one assignment at start-up,
// before the main form is created); the main form then does the default
// written next to each hook.
#pragma once

#include <functional>

namespace pruvell {

class TMainForm;

struct TMainFormHooks {
    // TCheckDefaultUPIN tick on the current token. Default: when the setting
    // DefaultPINMode is 1 and the PIN state can be read, a locked PIN shows
    // "K_Dead" and a default PIN shows "K_DefaultUPINInfo".
    std::function<void(TMainForm&)> CheckDefaultPin;
    // The settings action opens the settings dialog (modal). Default: none.
    // The main form re-reads the settings and texts afterwards in any case.
    std::function<void(TMainForm&)> ShowSettings;
    // TAppUpdate tick. Default: nothing.
    std::function<void(TMainForm&)> CheckForUpdate;
    // The command "Update": a pending question or download is given up
    // (the main form has set the update-cancelled flag and answered its own
    // open question "No" already). Default: nothing. The update unit asks
    // its questions with AskQuestion (MessageBoxes.h), which is what lets
    // "Update" and a token removal answer them, and only them.
    std::function<void(TMainForm&)> CancelUpdate;
};

// The hooks of this process.
TMainFormHooks& MainFormHooks();

// Process-wide flags of the main form's unit that the other units share.
struct TMainFormFlags {
    bool PinDialogOpen = false;   // set while the default-PIN prompt and its dialogs run
    bool UpdateCancelled = false; // set by the command "Update"
};
TMainFormFlags& MainFormFlags();

} // namespace pruvell
