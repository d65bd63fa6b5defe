#include "signal_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "plain_kernels.h"
#include "rtl.h"
#include "settings.h"
#include "vor.h"

namespace {

void freshStart(int iv) {
    interval = iv;
    vorReset();
    resetBlock();
    plainReset();
    initOsc();
}

}  // namespace

std::string runChain(const SigParams &p, int iv, size_t bufBytes, bool plain) {
    const auto callback = plain ? in_callback_plain : in_callback;
    freshStart(iv);
    SigGen g;
    sigInit(g, p);
    std::vector<uint8_t> buf(bufBytes);
    testing::internal::CaptureStdout();
    size_t pairs;
    while ((pairs = sigNext(g, buf.data(), bufBytes / 2)) > 0)
        callback(buf.data(), static_cast<uint32_t>(2 * pairs), nullptr);
    return testing::internal::GetCapturedStdout();
}

std::string runVor(const std::vector<float> &env, int iv) {
    freshStart(iv);
    testing::internal::CaptureStdout();
    for (float e : env) vor(e);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<double> bearings(const std::string &out) {
    std::vector<double> v;
    const char *s = out.c_str();
    char *end;
    for (double x = std::strtod(s, &end); end != s; x = std::strtod(s, &end)) {
        v.push_back(x);
        s = end;
    }
    return v;
}
