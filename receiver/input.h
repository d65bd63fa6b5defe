// Recordings from other programs: which file holds what, at which rate and
// centre frequency, and the stream that turns it into the estimator's
// 50 kHz envelope.
//
// IQ at any rate from 225 kS/s to 3.2 MS/s is mixed down by the station's
// offset from the centre, then low-pass filtered and decimated by
// liquid-dsp to 50 kHz; AM audio is resampled to 50 kHz and gets its
// carrier back. Both then feed the same estimator, trust measures and
// ident decoder as the dongle. What a dongle set up by navdial delivers
// (8-bit IQ, 2 MS/s, the station 50 kHz above the centre) is left to the
// 40-pair detector of rtl.
#pragma once

#include <cstdint>
#include <cmath>
#include <string>
#include <vector>

enum class sampleFormat {
    cu8,    // unsigned 8-bit I, Q (zero at 127.5)
    cs8,    // signed 8-bit
    cs16,   // signed 16-bit, little-endian
    cf32,   // 32-bit float, little-endian
    wavIq,  // a 2-channel WAV (I left, Q right), any sample type
    audio,  // AM audio: a mono WAV, or 2 identical channels
};

// The short name of a format, as the -i prefix takes it ("cu8", "wav", "am").
const char *formatName(sampleFormat f);

// A recording, as far as its file and the options tell.
struct recording {
    std::string shown;  // the file as the user named it, for messages
    std::string data;   // the file that holds the samples; "-": standard input
    sampleFormat format = sampleFormat::cu8;
    double rate = 0;        // IQ pairs or audio frames per second
    double centreHz = 0;    // the frequency the recording was tuned to (IQ)
    double offsetHz = 0;    // the station above the centre (IQ)
    bool dongle = false;    // exactly what navdial's own dongle set-up delivers
    int channels = 0;       // of a WAV
    bool eightBit = false;  // 8-bit samples: clipping and quantisation apply
    std::string notice;     // for standard error: what of a cut file is not decoded; empty if whole
    bool throttle = false;  // --throttle: read no faster than the signal's own speed
    double startUtc = NAN;  // the first sample's UTC time (Unix seconds), when the name or metadata says
};

// Works out the format (the prefix, else the extension), the rate and the
// centre (the options, else the file name, the SigMF meta file or the WAV
// header) and checks them against the station at freqHz. rateHz and
// centreHz are 0 when not given. False with a one-line reason in err,
// which names the file.
bool openRecording(const char *arg, double rateHz, double centreHz, int32_t freqHz, recording &rec, std::string &err);

// Streams an AM audio recording (sampleFormat::audio) into the detector's
// chain (envelopeValue) until its end or a requested stop: 0 at the end, 1
// when stopped, -1 with err filled when reading failed.
int runAudioRecording(const recording &rec, std::string &err);

// A file, or standard input ("-"), of 8-bit IQ in the dongle's layout,
// streamed in the dongle's whole buffers to the stream's sink or the
// detector (rtlBuffer) until its end or a requested stop: 0 at the end, 1
// when stopped, -1 with err filled when it could not be opened or read.
int runLayoutRecording(const recording &rec, std::string &err);

// Streams 8-bit IQ from file descriptor fd in the dongle's whole buffers
// (a short read from a pipe must not split a pair between two calls). As
// runLayoutRecording, -errno when reading failed.
int runFileSample(int fd);

// Reads into buf until it holds `want` bytes, the input ends or a stop is
// requested (a read interrupted by a signal is retried). The bytes read,
// or -errno when reading failed.
long readBuffer(int fd, unsigned char *buf, size_t want);

// Several stations in one IQ recording: a down-converter for each offset
// (Hz above the centre), each 50 kHz output to sink(user, station, re, im)
// in the units of a 40-pair block sum. As runAudioRecording() otherwise.
using stationSink = void (*)(void *user, size_t station, float re, float im);
int runRecordingStations(const recording &rec, const std::vector<double> &offsets, stationSink sink, void *user,
                         std::string &err);

// How the trust measures must see this recording's front end: the noise
// power the envelope high-pass finds, against white noise of the same
// density in the pass band (measured once on noise through the same
// down-converter; 1 for audio, which carries its own).
double noiseShape(const recording &rec);

// What a file name tells: gqrx's "gqrx_DATE_TIME_<centre>_<rate>_fc.raw"
// (cf32) and the "<centre>Hz" of SDR programs' WAV names. 0 where it tells nothing.
struct nameFacts {
    double rate = 0, centreHz = 0;
    bool gqrx = false;
    double startUtc = NAN;  // a name's "_YYYYMMDD_HHMMSSZ_": UTC (gqrx's names hold local time: not taken)
};
nameFacts factsFromName(const std::string &path);
