// Where a test can stand in for the units the main form hands work to. An
// empty hook (as in the program) means the real unit: the default-PIN check
// and PIN dialog (upinsetfrm.h) and the settings dialog (ProjectConfigfrm.h).
#pragma once

#include <functional>

namespace pruvell {

class TMainForm;

struct TMainFormHooks {
    // TCheckDefaultUPIN tick on the current token, in place of
    // CheckDefaultPin.
    std::function<void(TMainForm&)> CheckDefaultPin;
    // The settings action, in place of the settings dialog. Unless the PIN
    // dialog is open; the main form re-reads the settings and texts
    // afterwards.
    std::function<void(TMainForm&)> ShowSettings;
};

// The hooks of this process.
TMainFormHooks& MainFormHooks();

} // namespace pruvell
