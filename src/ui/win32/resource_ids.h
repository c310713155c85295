// Resource identifiers shared by the program's resource script (src/app/win32) and the
// window code that loads them. Read by the resource compiler too: #define lines only.
#pragma once

// The program's icon group: the windows, the task-bar button and the file's own picture.
#define LUMORA_ICON_PROGRAM 1
