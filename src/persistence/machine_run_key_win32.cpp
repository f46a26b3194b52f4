#include "persistence/machine_run_key.h"

#include "persistence/run_key.h"

LSTATUS OpenMachineRunKey(REGSAM access, HKEY* key) {
    if ((access & KEY_SET_VALUE) == 0) return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, access, key);
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, nullptr, 0, access, nullptr, key, nullptr);
}
