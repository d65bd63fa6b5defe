// AM audio, as an SDR program's AM mode records it (a WAV at 22.05 kHz or
// more), brought to the estimator's 50 kHz with its carrier put back. A
// small library of its own: navdial reads recordings with it, and the
// test-signal generator takes a real station's modulation from it.
#pragma once

#include <sndfile.h>

#include <string>
#include <vector>

constexpr double kMinAudioRate = 22050.0;

// "2.4 MS/s", "48 kS/s".
std::string rateText(double hz);

// Kaiser's estimate of the taps of a low-pass from pass to stop Hz at fs
// samples a second with 60 dB of stop band, made odd.
unsigned kaiserTaps(double fs, double pass, double stop);

// Opens a WAV through libsndfile; null, with a line naming path and the
// reason in err, when it cannot.
SNDFILE *openWav(const std::string &path, SF_INFO &info, std::string &err);

// Streams the first channel of the WAV at `path` (`rate` frames a second)
// resampled to 50 kHz, its mean taken out and scaled so that the
// modulation has the rms of a VOR's two 30 % tones (or peaks at 90 %):
// each value is the envelope less 1, to sink(user, value). `stop` (null:
// never) is asked before each chunk. False, with a line naming `shown` in
// err, when reading failed.
using audioSink = void (*)(void *user, float value);
bool streamAmAudio(const std::string &path, const std::string &shown, double rate, audioSink sink, void *user,
                   bool (*stop)(), std::string &err);

// A whole WAV of AM audio (1 or 2 channels, 22.05 kHz or more) as
// streamAmAudio gives it, in out; false with the reason in err.
bool readAudio(const std::string &path, std::vector<float> &out, std::string &err);
