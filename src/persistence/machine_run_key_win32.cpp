#include "persistence/machine_run_key.h"

bool MachineRunKeyRefused(REGSAM) {
    return false;
}
