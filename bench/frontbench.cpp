// The front end alone: mixing and the 40-sample sums of an IQ file, with
// envelope samples going to a stand-in estimator that only adds them up.
// usage: frontbench plain|fast FILE
#include <cstdio>

#include "feed.h"

namespace {
volatile float total;
}  // namespace

void vor(float envelope) { total = total + envelope; }
void vorPlain(float envelope) { total = total + envelope; }

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const int r = feedFile(argv[1], argv[2]);
    std::printf("%g\n", static_cast<double>(total));
    return r;
}
