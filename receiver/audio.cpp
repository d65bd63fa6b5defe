// AM audio as an SDR program's AM mode records it, brought to the
// estimator's 50 kHz with the carrier its demodulator took out put back.
#include "audio.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>

// liquid-dsp's complex type is std::complex<float> when <complex> comes first.
#include <liquid/liquid.h>

namespace {

constexpr double kOut = 50000.0;  // the estimator's envelope samples per second
constexpr float kStopDb = 60.0f;
constexpr size_t kChunk = 65536;  // frames read at a time
// The carrier is put back so that the modulation has the rms of a VOR's
// two 30 % tones (0.3), or peaks at 90 %, whichever is less; measured on
// the first 2 s.
constexpr double kAudioRms = 0.3, kAudioPeak = 0.9;
constexpr size_t kAudioLead = 100000;

std::string fail(const std::string &file, const std::string &what) { return "navdial: " + file + ": " + what; }

}  // namespace

std::string rateText(double hz) {
    char b[32];
    if (hz >= 1e6)
        std::snprintf(b, sizeof b, "%g MS/s", hz / 1e6);
    else
        std::snprintf(b, sizeof b, "%g kS/s", hz / 1e3);
    return b;
}

// Kaiser's estimate of the taps for a transition from pass to stop (Hz) at fs, made odd.
unsigned kaiserTaps(double fs, double pass, double stop) {
    const double n = (kStopDb - 7.95) / (14.36 * (stop - pass) / fs) + 1;
    return static_cast<unsigned>(std::ceil(n)) | 1u;
}

// Opens a WAV through libsndfile; null with err filled.
SNDFILE *openWav(const std::string &path, SF_INFO &info, std::string &err) {
    info = SF_INFO{};
    SNDFILE *s = sf_open(path.c_str(), SFM_READ, &info);
    if (!s) {
        if (access(path.c_str(), R_OK) != 0)
            err = "navdial: cannot open " + path + ": " + std::strerror(errno);
        else
            err = fail(path, std::string("not a readable WAV file (") + sf_strerror(nullptr) + ")");
    }
    return s;
}

bool streamAmAudio(const std::string &path, const std::string &shown, double rate, audioSink sinkFn, void *user,
                   bool (*stopAsked)(), std::string &err) {
    SF_INFO info;
    SNDFILE *s = openWav(path, info, err);
    if (!s) return false;
    auto sink = [sinkFn, user](float v) { sinkFn(user, v); };
    const double r = kOut / rate;
    // Pass 20 kHz (the subcarrier's sidebands reach 10.5 kHz; above them the
    // noise for the trust measures), or 96 % of what slower audio holds.
    // Going down, stop what would fold back onto the pass band; going up,
    // the images, from a little below the audio's Nyquist frequency.
    const double pass = std::min(20000.0, 0.48 * rate);
    const double stop = r < 1 ? kOut - pass : 0.98 * rate - pass;
    const unsigned m = (kaiserTaps(rate, pass, stop) + 1) / 2;
    const float fc = static_cast<float>((pass + stop) / 2 / rate);
    resamp_rrrf q = resamp_rrrf_create(static_cast<float>(r), m, fc, kStopDb, 32);
    if (!q) {
        sf_close(s);
        err = fail(shown, "the resampler could not be set up for " + rateText(rate));
        return false;
    }
    const size_t ch = static_cast<size_t>(info.channels);
    std::vector<float> b(ch * kChunk), mono(kChunk), out(static_cast<size_t>(2 * r * kChunk) + 16);
    std::vector<float> lead;
    lead.reserve(kAudioLead + out.size());
    bool scaled = false;
    double mean = 0, k = 0;
    auto scale = [&]() {
        double s1 = 0, s2 = 0, peak = 0;
        for (float v : lead) s1 += v;
        mean = lead.empty() ? 0 : s1 / static_cast<double>(lead.size());
        for (float v : lead) {
            s2 += (v - mean) * (v - mean);
            peak = std::max(peak, std::fabs(v - mean));
        }
        const double rms = lead.empty() ? 0 : std::sqrt(s2 / static_cast<double>(lead.size()));
        k = rms > 0 ? std::min(kAudioRms / rms, kAudioPeak / peak) : 0.0;
        for (float v : lead) sink(static_cast<float>(k * (v - mean)));
        scaled = true;
    };
    sf_count_t got;
    while (!(stopAsked && stopAsked()) && (got = sf_readf_float(s, b.data(), static_cast<sf_count_t>(kChunk))) > 0) {
        for (size_t n = 0; n < static_cast<size_t>(got); ++n) mono[n] = b[n * ch];
        unsigned made = 0;
        resamp_rrrf_execute_block(q, mono.data(), static_cast<unsigned>(got), out.data(), &made);
        for (unsigned n = 0; n < made; ++n) {
            if (scaled) {
                sink(static_cast<float>(k * (out[n] - mean)));
            } else {
                lead.push_back(out[n]);
            }
        }
        if (!scaled && lead.size() >= kAudioLead) scale();
        std::fflush(stdout);
    }
    if (!scaled) scale();
    const bool ok = sf_error(s) == SF_ERR_NO_ERROR;
    if (!ok) err = fail(shown, std::string("reading failed: ") + sf_strerror(s));
    resamp_rrrf_destroy(q);
    sf_close(s);
    return ok;
}

bool readAudio(const std::string &path, std::vector<float> &out, std::string &err) {
    SF_INFO info;
    SNDFILE *s = openWav(path, info, err);
    if (!s) return false;
    sf_close(s);
    if (info.frames <= 0) {
        err = fail(path, "holds no samples");
        return false;
    }
    if (info.channels > 2) {
        err = fail(path, "a WAV of " + std::to_string(info.channels) + " channels is not AM audio (1)");
        return false;
    }
    if (!(info.samplerate >= kMinAudioRate)) {
        err = fail(path, "AM audio at " + rateText(info.samplerate) + " is too slow: 22.05 kHz at least");
        return false;
    }
    out.clear();
    return streamAmAudio(
        path, path, info.samplerate, [](void *u, float v) { static_cast<std::vector<float> *>(u)->push_back(v); }, &out,
        nullptr, err);
}
