// Whole reads and writes of a descriptor, through interruptions and short
// transfers: the one loop every channel and file of the run goes through.
#ifndef JPEGFADE_WHOLE_IO_H_
#define JPEGFADE_WHOLE_IO_H_

#include <sys/types.h>

#include <cstddef>

/// Reads all of `size` bytes from `fd` into `data`; false, with errno, where
/// the other side ended first (errno 0) or a read failed.
bool ReadWhole(int fd, void* data, size_t size);

/// Writes all of `size` bytes of `data` to `fd`, where it stands, or at
/// `offset` where that is 0 or more; false, with errno, where a write failed
/// (ENOSPC where one took no byte).
bool WriteWhole(int fd, const void* data, size_t size, off_t offset = -1);

#endif  // JPEGFADE_WHOLE_IO_H_
