/* Included first in every Windows C++ source. The Microsoft runtime's wide printf family reads a
   wide format's %s as a wide string, and the code is written for that. libstdc++ switches MinGW
   to its own C99 printf family (where %s is narrow) the moment any C++ header is included;
   declaring the runtime's functions before that keeps the Microsoft ones. */
#include <stdio.h>
#include <wchar.h>
