// The Microsoft C runtime's low-level file functions that the code uses.
#pragma once

#ifdef __cplusplus

// The size of the open file `fd` in bytes; -1 with errno EBADF (after the invalid-parameter
// handler) when `fd` is not open.
long _filelength(int fd);

#endif  // __cplusplus
