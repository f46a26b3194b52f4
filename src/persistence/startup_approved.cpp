#include "persistence/startup_approved.h"

#include "persistence/run_key.h"

namespace {

// Flags (bit 0 set: off) then the time it was switched off; 2 and a zero
// time is the form Windows writes for "on".
constexpr BYTE kEnabledForm[12] = {2};

}  // namespace

bool StartSwitchedOff(HKEY root) {
    BYTE data[64] = {};
    DWORD bytes = sizeof data;
    // Missing, or of a shape not known here: the Run value decides alone.
    return RegGetValueW(root, kStartupApprovedKeyPath, kRunValueName, RRF_RT_ANY, nullptr, data,
                        &bytes) == ERROR_SUCCESS &&
           bytes > 0 && (data[0] & 1) != 0;
}

bool SwitchStartOn(HKEY root) {
    return !StartSwitchedOff(root) ||
           (RegSetKeyValueW(root, kStartupApprovedKeyPath, kRunValueName, REG_BINARY, kEnabledForm,
                            sizeof kEnabledForm) == ERROR_SUCCESS &&
            !StartSwitchedOff(root));
}
