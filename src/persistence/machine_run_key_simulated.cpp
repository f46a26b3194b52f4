// Test builds only: the DWORD value "MachineRunKeyDenied" under
// HKEY_CURRENT_USER\Software\GpsFennikSimulation, when present and not 0,
// refuses the machine-wide Run key as Windows refuses it to a program without
// elevation: any access beyond reading. It is read afresh at every call;
// otherwise the registry answers.
#include "persistence/machine_run_key.h"

namespace {

bool MachineRunKeyDenied() {
    DWORD denied = 0;
    DWORD bytes = sizeof denied;
    return RegGetValueW(HKEY_CURRENT_USER, L"Software\\GpsFennikSimulation", L"MachineRunKeyDenied", RRF_RT_REG_DWORD,
                        nullptr, &denied, &bytes) == ERROR_SUCCESS &&
           denied != 0;
}

}  // namespace

bool MachineRunKeyRefused(REGSAM access) {
    return (access & ~kReadOnlyAccess) != 0 && MachineRunKeyDenied();
}
