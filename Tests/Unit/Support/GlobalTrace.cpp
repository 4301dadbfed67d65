// The process's one trace object, which the service defines beside its monitors.
#include "ZelDebug.h"

CZelDebug g_ZelDebug;
