// The front end alone: mixing and the 40-sample sums of an IQ file, with
// each block's envelope going to a stand-in for the estimator that only
// adds them up.
// usage: frontbench plain|fast FILE
#include <cstdio>

#include "feed.h"

namespace {

volatile float total;

void addBlock(void *, float re, float im) { total = total + blockEnvelope(re, im); }
void noBytes(void *, const unsigned char *, uint32_t) {}
void noValue(void *, float) {}
const blockSink kAdder = {noBytes, addBlock, noValue, nullptr};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    setRtlOutput(&kAdder);
    setPlainOutput(&kAdder);
    const int r = feedFile(argv[1], argv[2]);
    std::printf("%g\n", static_cast<double>(total));
    return r;
}
