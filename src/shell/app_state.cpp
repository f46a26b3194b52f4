#include "shell/app_state.h"

#include <new>

namespace {
alignas(AppState) unsigned char appStorage[sizeof(AppState)];
}  // namespace

AppState& app = *new (appStorage) AppState();
