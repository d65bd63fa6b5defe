// Runs 8-bit IQ from standard input through the chain like navdial -i, and
// after each printed line also prints the window's plain mean with every bit
// ("# %a"), so that two builds can be compared exactly, not only to the
// printed tenth of a degree.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rtl.h"
#include "settings.h"
#include "vor.h"

int main(int argc, char **argv) {
    interval = argc > 1 ? std::atoi(argv[1]) : 2;
    initOsc();
    static unsigned char buf[81920];
    double last = lastPlainMean();
    size_t have = 0;
    for (;;) {
        const ssize_t got = read(0, buf + have, sizeof buf - have);
        if (got > 0) have += static_cast<size_t>(got);
        if (have < sizeof buf && got > 0) continue;
        if (have > 0) in_callback(buf, static_cast<uint32_t>(have), nullptr);
        // One window at most per buffer for intervals of 1 s and more.
        const double now = lastPlainMean();
        if (std::memcmp(&now, &last, sizeof now) != 0) std::printf("# %a\n", now);
        last = now;
        if (got <= 0) break;
        have = 0;
    }
    return 0;
}
