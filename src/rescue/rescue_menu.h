// The rescue menu on the console, and the user file-system erase before the diagnostics boot.
#pragma once

#include "common/ending.h"

// GO_ON when the operator leaves the menu (E, or no console input any more); otherwise the
// ending an action asked for.
Ending rescue_menu();
// Asks whether to erase the user file system, then boots the rescue partition's image.
Ending erase_user_filesystem();
