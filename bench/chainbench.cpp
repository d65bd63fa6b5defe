// The whole chain on an IQ file, with the plain or the fast kernels.
// usage: chainbench plain|fast FILE
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "rtl.h"

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const auto cb = std::strcmp(argv[1], "plain") == 0 ? in_callback_plain : in_callback;
    const int fd = open(argv[2], O_RDONLY);
    if (fd < 0) return 1;
    initOsc();
    static unsigned char buf[81920];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) cb(buf, static_cast<uint32_t>(got), nullptr);
    return 0;
}
