// Test-signal generator: a VOR station as an RTL2832U dongle delivers it,
// 8-bit IQ (interleaved unsigned I, Q; zero level 127.5), by default at
// 2 MS/s with the carrier 50 kHz above the tuner centre.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SigParams {
    double radial = 0.0;       // degrees: the variable tone lags the reference by this
    double seconds = 5.0;      // length of the signal
    double varDepth = 0.3;     // AM depth of the 30 Hz variable tone
    double subDepth = 0.3;     // AM depth of the 9960 Hz subcarrier
    double fmIndex = 16.0;     // subcarrier deviation / 30 Hz (16: the standard +-480 Hz)
    double offsetHz = 0.0;     // carrier frequency error
    double toneHz = 30.0;      // both 30 Hz tones (one clock: a station may be 1 % off)
    double subHz = 9960.0;     // the subcarrier (may be 1 % off)
    double radialRate = 0.0;   // degrees per second: a receiver moving across the radials
    uint32_t rate = 2000000;   // IQ pairs per second
    double carrierHz = 50000;  // the station above the tuner centre
    double cn0 = INFINITY;     // carrier to noise density, dB-Hz; infinite: no noise
    uint64_t seed = 0;         // 0: all start phases 0; otherwise random ones
    bool ident = false;        // add the 1020 Hz ident tone, keyed on and off
    double identDepth = 0.1;   // its AM depth
    std::string morse;         // if not empty: key these letters in Morse instead
    double wpm = 7;            // its speed, words per minute (a dot is 1.2/wpm s)
    double identPeriod = 10;   // seconds from the start of one repetition to the next
    double identStart = 1;     // seconds to the first repetition
    double identHz = 1020;     // the tone's frequency
    bool identSteady = false;  // the ident tone on all the time, never keyed
    bool carrier = true;       // false: the noise alone, at the level it has beside the station
    bool ils = false;          // an ILS localizer instead: 90 and 150 Hz AM at ilsDepth, no subcarrier
    double ilsDepth = 0.2;
    double voiceDepth = 0.0;    // rms AM depth of speech-like noise (300-3000 Hz, in bursts)
    std::vector<float> speech;  // if not empty: this recorded speech (50 kHz) instead of the
                                // noise, at voiceDepth rms, repeated with 0.5 s pauses
    std::vector<float> audio;   // if not empty: envelope = 1 + audio at 50 kHz, held
                                // for 40 IQ samples each (replaces the synthetic tones)
    // More stations in the same stream, each at its own carrierHz (above the
    // tuner centre), radial, ident...: their noise is this one's (cn0 and
    // the length are taken from here), their carrier levelDb against it.
    std::vector<SigParams> others;
    double levelDb = 0;
};

struct SigGen {
    SigParams p;
    double amp;                       // carrier amplitude in byte units
    double sigma;                     // noise standard deviation per component, byte units
    double ph30, phSub, phCar, phId;  // start phases, radians
    // Oscillators as unit phasors (re, im), turned by one sample per pair:
    // 30 Hz, 9960 Hz (without its FM), 1020 Hz, the carrier.
    double z30[2], zSub[2], zId[2], zCar[2];
    double w30[2], wSub[2], wId[2], wCar[2];
    double lag[2];   // the radial as a phasor
    double wLag[2];  // its turn per IQ pair (radialRate)
    uint64_t rng;
    bool haveSpare;
    double spare;
    uint64_t next;                   // index of the next IQ pair
    uint64_t total;                  // IQ pairs in all
    std::vector<float> voice;        // the speech-like AM, one value per 40 pairs (50 kHz)
    std::vector<uint64_t> keyEdges;  // IQ pairs at which the Morse key toggles (starts up)
    size_t keyAt;
    bool keyDown;
    std::vector<SigGen> others;  // the other stations of p.others
};

// The Morse code of a letter or digit ("" for anything else).
const char *morseCode(char c);

// How long keying `text` takes at `wpm`, from the first element's start to
// the last one's end, seconds.
double morseSeconds(const std::string &text, double wpm);

// Sets the generator up; the level is chosen so that the carrier's peak plus
// three standard deviations of noise just fits the 8-bit range.
void sigInit(SigGen &g, const SigParams &p);

// Writes up to `pairs` IQ pairs (2 bytes each) to out; returns how many.
// 0 at the end of the signal.
size_t sigNext(SigGen &g, uint8_t *out, size_t pairs);

// The same pairs before they are rounded to bytes: I, Q in byte units
// (127.5 is full scale), for the other sample formats.
size_t sigNextIQ(SigGen &g, double *out, size_t pairs);

// The carrier's amplitude, byte units.
double sigAmplitude(const SigGen &g);

// Reads a WAV file of AM audio as navdial reads one (readAudio in audio.h):
// at 50 kHz, the carrier restored, envelope 1 + audio. Empty on failure,
// with the reason in err.
std::vector<float> loadAudio(const std::string &path, std::string &err);
