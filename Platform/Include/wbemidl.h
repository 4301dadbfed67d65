// WMI client interfaces. Only what the code names so far: the connection it holds.
#pragma once

#include "unknwn.h"

struct IWbemServices;
