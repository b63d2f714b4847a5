// The simulated Windows: splitting a command line into its arguments (shell32; shellapi.h).
#pragma once

#include "platform/sim/kernel/winbase.h"

extern "C" {
// The arguments of a command line, by the rules programs are started with: blanks (spaces and
// tabs) outside quotes separate arguments; 2n backslashes before a quote give n backslashes and
// the quote opens or closes a quoted part; 2n+1 backslashes before a quote give n backslashes
// and a literal quote; backslashes before anything else stay as they are; inside a quoted part a
// doubled quote gives a literal quote and ends the quoted part, a tripled one gives a literal
// quote and keeps it open. Argument 0, the program, has rules of its own: quoted, it runs to the
// next quote, else to the next blank, with no backslash processing. An empty command line gives
// one argument, the path of the calling process's image. The array, its terminating null
// pointer and the texts are one LocalAlloc block, freed with LocalFree. A null count fails with
// ERROR_INVALID_PARAMETER.
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);
}
