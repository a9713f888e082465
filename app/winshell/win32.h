// <windows.h> without the macros that rename the program's own functions:
// windows.h maps MessageBox, EncryptFile, DecryptFile, DeleteFile and
// SetEnvironmentVariable to their ...A forms, which would rename the flows'
// and the platform's functions of the same names in these files only, and
// their calls would then miss them. Include this instead of <windows.h>.
#ifndef TRESOLIN_APP_WINSHELL_WIN32_H_
#define TRESOLIN_APP_WINSHELL_WIN32_H_

#include <windows.h>

#undef MessageBox
#undef EncryptFile
#undef DecryptFile
#undef DeleteFile
#undef SetEnvironmentVariable

#endif  // TRESOLIN_APP_WINSHELL_WIN32_H_
