#include "whole_io.h"

#include <unistd.h>

#include <cerrno>

bool ReadWhole(int fd, void* data, size_t size) {
  char* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t done = read(fd, at, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = 0;
      return false;
    }
    at += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

bool WriteWhole(int fd, const void* data, size_t size, off_t offset) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t done =
        offset < 0 ? write(fd, at, size) : pwrite(fd, at, size, offset);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = ENOSPC;
      return false;
    }
    at += done;
    size -= static_cast<size_t>(done);
    if (offset >= 0) offset += done;
  }
  return true;
}
