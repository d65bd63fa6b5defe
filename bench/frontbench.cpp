// The front end alone: mixing and the 40-sample sums of an IQ file, with
// envelope samples going to a stand-in estimator that only adds them up.
// usage: frontbench plain|fast FILE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "rtl.h"

namespace {
volatile float total;
}  // namespace

void vor(float envelope) { total = total + envelope; }
void vorPlain(float envelope) { total = total + envelope; }

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const auto cb = std::strcmp(argv[1], "plain") == 0 ? in_callback_plain : in_callback;
    const int fd = open(argv[2], O_RDONLY);
    if (fd < 0) return 1;
    initOsc();
    static unsigned char buf[81920];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) cb(buf, static_cast<uint32_t>(got), nullptr);
    std::printf("%g\n", static_cast<double>(total));
    return 0;
}
