// The Win32 subset of the simulated machine: only what the code calls, with the SDK's signatures,
// constants and values.
#pragma once

#include "windef.h"
#include "guiddef.h"
#include "winerror.h"
#include "winbase.h"
#include "fileapi.h"
#include "ioapiset.h"
#include "interlockedapi.h"
#include "libloaderapi.h"
#include "processenv.h"
#include "sysinfoapi.h"
#include "winnls.h"
#include "winreg.h"
#include "winuser.h"
#include "winsvc.h"
