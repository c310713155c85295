// <windows.h> for the Win32 implementations, without the macros that would rename the
// platform interfaces' own methods (CreateDirectory, DeleteFile, RemoveDirectory): the
// code here always calls the ...W functions by their full names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory
