// replug: resets one USB device through its usbfs node (/dev/bus/usb/BBB/DDD),
// so that a wedged dongle comes back without being unplugged.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc < 2) return 0;  // nothing to reset
    const char *path = argv[1];
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        std::fprintf(stderr, "replug: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    if (ioctl(fd, USBDEVFS_RESET, 0) < 0) {
        const int err = errno;
        close(fd);
        std::fprintf(stderr, "replug: cannot reset %s: %s\n", path, std::strerror(err));
        return 1;
    }
    close(fd);
    return 0;
}
