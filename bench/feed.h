// Feeds an IQ file to the plain or the fast detector, a dongle buffer at a time.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "plain_kernels.h"
#include "rtl.h"

// kernel: "plain" or "fast". Returns 0, or 1 when the file cannot be opened.
inline int feedFile(const char *kernel, const char *path) {
    const auto cb = std::strcmp(kernel, "plain") == 0 ? in_callback_plain : in_callback;
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return 1;
    initOsc();
    plainReset();
    static unsigned char buf[81920];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) cb(buf, static_cast<uint32_t>(got), nullptr);
    close(fd);
    return 0;
}
