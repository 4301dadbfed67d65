// COM: the life-cycle functions and COM's own class identifiers.
#pragma once

#include "cguid.h"
#include "combaseapi.h"
#include "objidl.h"
