#pragma once

#include <cstddef>
#include <unistd.h>
#include <utility>

// An open file descriptor, closed when its owner goes; -1 for none.
struct file_descriptor {
    int fd = -1;
    file_descriptor() = default;
    explicit file_descriptor(int descriptor) : fd(descriptor) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor()
    {
        reset();
    }
    void reset(int descriptor = -1)
    {
        if (fd >= 0)
            close(fd);
        fd = descriptor;
    }
    int release()
    {
        return std::exchange(fd, -1);
    }
};

// Writes all of bytes to fd, waiting where fd was left non-blocking. False,
// with errno set, if a write fails.
bool write_all(int fd, const char* bytes, std::size_t size);
