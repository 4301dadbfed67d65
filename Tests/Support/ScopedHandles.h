// The support library's handle owners under the short names the tests and tools use. Included by
// its path: the Platform suites and tarvik-sim do not link the support library.
#pragma once

#include "../../Common/Src/ZelScopedHandle.h"

namespace test {

typedef CZelKeyHandle ScopedKey;
typedef CZelKernelHandle ScopedHandle;
typedef CZelServiceHandle ScopedService;

}  // namespace test
