#include "persistence/machine_run_key.h"

#include "persistence/run_key.h"

LSTATUS OpenMachineRunKeyForWriting(HKEY* key) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr,
                           key, nullptr);
}
