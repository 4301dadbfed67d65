// National-language support: code pages.
#pragma once

#include "windef.h"
