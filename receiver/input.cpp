// Recordings: formats, metadata, and the down-converter to the 50 kHz envelope.
//
// The down-converter: the station is brought to 0 Hz by a mixing table,
// then liquid-dsp's polyphase decimator takes the rate down by a whole
// factor to 125-250 kHz and its arbitrary resampler takes it to 50 kHz.
// The station's envelope needs +-15.5 kHz of baseband (the subcarrier's
// sidebands reach 10.5 kHz, the carrier may be 5 kHz off), so both stages
// pass 15.5 kHz and stop, at 60 dB, whatever would fold onto it: the
// first from its output rate less 15.5 kHz, the second from 34.5 kHz,
// which also keeps a neighbouring channel 50 kHz away off the carrier.
#include "input.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <chrono>
#include <fstream>
#include <thread>

// liquid-dsp's complex type is std::complex<float> when <complex> comes first.
#include <liquid/liquid.h>
#include <nlohmann/json.hpp>

#include "audio.h"
#include "dongle.h"
#include "rtl.h"
#include "trust.h"

namespace {

using cf = std::complex<float>;

constexpr double kOut = kEnvelopeRate;
constexpr double kPass = 15500.0;            // baseband the envelope needs, Hz
constexpr double kStopAt50k = kOut - kPass;  // 34.5 kHz: folds onto kPass and beyond
constexpr float kStopDb = 60.0f;
constexpr double kStage1Rate = 125000.0;  // the first stage decimates to at least this
constexpr double kMinIqRate = 225000.0, kMaxIqRate = 3200000.0;
constexpr double kEdge = 20000.0;   // the station at least this far inside the band
constexpr unsigned kTable = 16384;  // mixing table: offsets to within rate/32768
constexpr size_t kChunk = 65536;    // samples read at a time
constexpr double kPi = 3.141592653589793;
constexpr float kToBlock = 40.0f * 127.5f;  // full scale 1 to a block sum in byte units

std::string fail(const std::string &file, const std::string &what) { return "navdial: " + file + ": " + what; }

std::string mhz(double hz) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f MHz", hz / 1e6);
    return b;
}

bool endsWith(const std::string &s, const char *tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string baseName(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- the down-converter ----

struct downConverter {
    std::vector<cf> table;  // exp(-j 2 pi k n / kTable)
    uint32_t tabPos = 0;
    unsigned M = 1;     // first stage's decimation
    unsigned taps = 0;  // first stage's filter length
    dotprod_crcf dot = nullptr;
    resamp_crcf rs = nullptr;
    float gain = 1.0f;  // makes the chain's gain at 0 Hz exactly 1
    // Mixed samples, with the first stage's history in front: the next
    // output's window starts at `next`, the buffer holds `len`.
    std::vector<cf> buf, mid, out;
    size_t next = 0, len = 0;
};

void ddcFree(downConverter &d) {
    if (d.dot) dotprod_crcf_destroy(d.dot);
    if (d.rs) resamp_crcf_destroy(d.rs);
    d.dot = nullptr;
    d.rs = nullptr;
}

// Mixes, filters and decimates n (at most kChunk) samples; each 50 kHz
// output goes to sink. The first stage is liquid's dot product at every
// M-th position of the mixed buffer: its decimator object copies each
// input sample through a window first, which cost more than the filter.
template <class Sink>
void ddcRun(downConverter &d, const cf *x, size_t n, Sink &&sink) {
    const float(*tab)[2] = reinterpret_cast<const float(*)[2]>(d.table.data());
    float(*p)[2] = reinterpret_cast<float(*)[2]>(d.buf.data() + d.len);
    const float(*in)[2] = reinterpret_cast<const float(*)[2]>(x);
    uint32_t pos = d.tabPos;
    // In runs that end with the table, so that the loop has no wrap in it.
    for (size_t k = 0; k < n;) {
        const size_t run = std::min<size_t>(n - k, kTable - pos);
        const float(*t)[2] = tab + pos;
        for (size_t j = 0; j < run; ++j) {
            const float re = in[k + j][0], im = in[k + j][1], c = t[j][0], s = t[j][1];
            p[k + j][0] = re * c - im * s;
            p[k + j][1] = re * s + im * c;
        }
        k += run;
        pos = static_cast<uint32_t>((pos + run) & (kTable - 1));
    }
    d.tabPos = pos;
    d.len += n;
    const cf *stage1 = d.buf.data();
    size_t made = d.len;
    if (d.M > 1) {
        made = 0;
        for (; d.next + d.taps <= d.len; d.next += d.M)
            dotprod_crcf_execute(d.dot, d.buf.data() + d.next, &d.mid[made++]);
        std::copy(d.buf.begin() + static_cast<std::ptrdiff_t>(d.next),
                  d.buf.begin() + static_cast<std::ptrdiff_t>(d.len), d.buf.begin());
        d.len -= d.next;
        d.next = 0;
        stage1 = d.mid.data();
    } else {
        d.len = 0;
    }
    unsigned got = 0;
    resamp_crcf_execute_block(d.rs, const_cast<cf *>(stage1), static_cast<unsigned>(made), d.out.data(), &got);
    for (unsigned k = 0; k < got; ++k) sink(d.out[k] * d.gain);
}

bool ddcInit(downConverter &d, double rate, double offsetHz) {
    d.table.resize(kTable);
    // The table's frequency is the offset to within rate/32768 (under 100 Hz
    // at 3.2 MS/s), well inside what the envelope tolerates of a carrier error.
    const long k = std::lround(offsetHz / rate * kTable);
    const uint32_t step = static_cast<uint32_t>(k) & (kTable - 1);
    for (uint32_t n = 0; n < kTable; ++n) {
        const double a = -2.0 * kPi * ((step * n) & (kTable - 1)) / kTable;
        d.table[n] = cf(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)));
    }
    d.M = std::max(1u, static_cast<unsigned>(rate / kStage1Rate));
    const double mid = rate / d.M;
    if (d.M > 1) {
        const unsigned taps = kaiserTaps(rate, kPass, mid - kPass);
        std::vector<float> h(taps);
        if (liquid_firdes_kaiser(taps, 0.5f / static_cast<float>(d.M), kStopDb, 0.0f, h.data()) != 0) return false;
        float sum = 0;
        for (float v : h) sum += v;
        for (float &v : h) v /= sum;
        // Symmetric: the dot product needs no reversal.
        d.dot = dotprod_crcf_create(h.data(), taps);
        if (!d.dot) return false;
        d.taps = taps;
    }
    const unsigned m = (kaiserTaps(mid, kPass, kStopAt50k) + 1) / 2;
    d.rs = resamp_crcf_create(static_cast<float>(kOut / mid), m, static_cast<float>(kOut / 2 / mid), kStopDb, 32);
    if (!d.rs) return false;
    d.buf.assign(kChunk + d.taps + d.M, cf{});
    d.mid.assign(kChunk / d.M + 2, cf{});
    d.out.assign(static_cast<size_t>(2.0 * static_cast<double>(kChunk / d.M + 2) * kOut / mid) + 16, cf{});

    // The gain at 0 Hz: a steady 1 through a copy of the filters.
    downConverter probe;
    probe.table.assign(kTable, cf{1.0f, 0.0f});
    probe.M = d.M;
    probe.taps = d.taps;
    probe.dot = d.dot ? dotprod_crcf_copy(d.dot) : nullptr;
    probe.rs = resamp_crcf_copy(d.rs);
    probe.buf.assign(d.buf.size(), cf{});
    probe.mid.assign(d.mid.size(), cf{});
    probe.out.assign(d.out.size(), cf{});
    const std::vector<cf> ones(kChunk, cf{1.0f, 0.0f});
    double last = 0;
    for (int round = 0; round < 4; ++round) ddcRun(probe, ones.data(), ones.size(), [&](cf v) { last = v.real(); });
    ddcFree(probe);
    if (!(last > 0.5)) return false;
    d.gain = static_cast<float>(1.0 / last);
    return true;
}

// ---- formats and metadata ----

struct formatEntry {
    const char *name;
    sampleFormat format;
};
// -i prefixes; "sigmf" stands apart (its data type is in the meta file).
const formatEntry kPrefixes[] = {{"cu8", sampleFormat::cu8},   {"cs8", sampleFormat::cs8},
                                 {"cs16", sampleFormat::cs16}, {"cf32", sampleFormat::cf32},
                                 {"wav", sampleFormat::wavIq}, {"am", sampleFormat::audio}};
const formatEntry kExtensions[] = {{".cu8", sampleFormat::cu8},    {".cs8", sampleFormat::cs8},
                                   {".cs16", sampleFormat::cs16},  {".cf32", sampleFormat::cf32},
                                   {".cfile", sampleFormat::cf32}, {".wav", sampleFormat::wavIq}};

size_t frameBytes(sampleFormat f) {
    switch (f) {
    case sampleFormat::cu8:
    case sampleFormat::cs8: return 2;
    case sampleFormat::cs16: return 4;
    case sampleFormat::cf32: return 8;
    default: return 0;
    }
}

double number(const nlohmann::json &j) { return j.is_number() ? j.get<double>() : 0.0; }

// The SigMF meta file's data type, rate and centre.
// "YYYY-MM-DDTHH:MM:SS[.s]Z" as Unix seconds; NaN when it is not that.
double utcSeconds(const std::string &text) {
    std::tm tm{};
    double sec = 0;
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &sec, &zone) != 7 ||
        zone != 'Z' || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || sec < 0 || sec >= 61)
        return NAN;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const double whole = std::floor(sec);
    tm.tm_sec = static_cast<int>(whole);
    return static_cast<double>(timegm(&tm)) + (sec - whole);
}

bool readSigmf(const std::string &meta, recording &rec, double &rate, double &centre, std::string &err) {
    std::ifstream f(meta);
    if (!f) {
        err = fail(meta, std::string("cannot open the SigMF meta file: ") + std::strerror(errno));
        return false;
    }
    const nlohmann::json j = nlohmann::json::parse(f, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("global") || !j["global"].is_object()) {
        err = fail(meta, "not a SigMF meta file (JSON with a \"global\" object)");
        return false;
    }
    const nlohmann::json &g = j["global"];
    const std::string type =
        g.contains("core:datatype") && g["core:datatype"].is_string() ? g["core:datatype"].get<std::string>() : "";
    static const struct {
        const char *name;
        sampleFormat f;
    } kTypes[] = {{"cu8", sampleFormat::cu8},
                  {"ci8", sampleFormat::cs8},
                  {"ci16_le", sampleFormat::cs16},
                  {"cf32_le", sampleFormat::cf32}};
    bool known = false;
    for (const auto &t : kTypes)
        if (type == t.name) {
            rec.format = t.f;
            known = true;
        }
    if (!known) {
        err = fail(meta, "core:datatype \"" + type + "\" is not one navdial reads (cu8, ci8, ci16_le, cf32_le)");
        return false;
    }
    if (g.contains("core:num_channels") && number(g["core:num_channels"]) > 1) {
        err = fail(meta, "holds several channels; navdial reads one");
        return false;
    }
    if (g.contains("core:sample_rate")) rate = number(g["core:sample_rate"]);
    if (j.contains("captures") && j["captures"].is_array() && !j["captures"].empty() && j["captures"][0].is_object() &&
        j["captures"][0].contains("core:frequency"))
        centre = number(j["captures"][0]["core:frequency"]);
    // The first capture's start, ISO 8601 in UTC ("2026-12-09T14:30:00.5Z").
    if (j.contains("captures") && j["captures"].is_array() && !j["captures"].empty() && j["captures"][0].is_object() &&
        j["captures"][0].contains("core:datetime") && j["captures"][0]["core:datetime"].is_string())
        rec.startUtc = utcSeconds(j["captures"][0]["core:datetime"].get<std::string>());
    return true;
}

// A 2-channel WAV whose channels are the same, sample for sample, over its
// first 65536 frames: audio written as stereo, not IQ.
bool channelsIdentical(SNDFILE *s) {
    std::vector<float> b(2 * kChunk);
    const sf_count_t got = sf_readf_float(s, b.data(), static_cast<sf_count_t>(kChunk));
    for (sf_count_t k = 0; k < got; ++k)
        if (b[2 * static_cast<size_t>(k)] != b[2 * static_cast<size_t>(k) + 1]) return false;
    return got > 0;
}

// Bytes a WAV frame takes, from its sample type; 0 when libsndfile's type
// is packed or compressed.
size_t wavFrameBytes(const SF_INFO &info) {
    size_t b = 0;
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: b = 1; break;
    case SF_FORMAT_PCM_16: b = 2; break;
    case SF_FORMAT_PCM_24: b = 3; break;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT: b = 4; break;
    case SF_FORMAT_DOUBLE: b = 8; break;
    default: break;
    }
    return b * static_cast<size_t>(info.channels);
}

// A WAV whose data chunk promises more than the file holds was cut short (a
// recorder stopped by a full disk, a copy that broke off): libsndfile reads
// what it holds, and `what` says how much is missing. A header length of 0
// or 0xFFFFFFFF is what a recorder writes before it knows the length: not a
// cut.
bool wavTruncated(SNDFILE *s, const SF_INFO &info, std::string &what) {
    char log[4096] = {};
    sf_command(s, SFC_GET_LOG_INFO, log, sizeof log);
    // The log's line "data : <said> (should be <held>)".
    const char *at = std::strstr(log, "\ndata : ");
    if (!at) return false;
    char *end;
    const unsigned long long said = std::strtoull(at + 8, &end, 10);
    if (std::strncmp(end, " (should be ", 12) != 0) return false;
    const unsigned long long held = std::strtoull(end + 12, nullptr, 10);
    if (said == 0 || said >= 0xFFFFFFFFull || said <= held) return false;
    const size_t frame = wavFrameBytes(info);
    char b[160];
    // Below a millisecond the seconds would read 0.000: the bytes say it.
    if (frame > 0 && info.samplerate > 0 && (said - held) / frame >= static_cast<unsigned>(info.samplerate) / 1000)
        std::snprintf(b, sizeof b,
                      "cut short: %.3f s of signal less than its header says; decoding the %.3f s it holds",
                      static_cast<double>(said - held) / static_cast<double>(frame) / info.samplerate,
                      static_cast<double>(held / frame) / info.samplerate);
    else
        std::snprintf(b, sizeof b,
                      "cut short: %llu byte%s of samples less than its header says; decoding what it holds",
                      said - held, said - held == 1 ? "" : "s");
    what = b;
    return true;
}

bool eightBitWav(int format) {
    const int sub = format & SF_FORMAT_SUBMASK;
    return sub == SF_FORMAT_PCM_U8 || sub == SF_FORMAT_PCM_S8;
}

// ---- streaming ----

struct rawReader {
    int fd;
    std::vector<uint8_t> bytes;
    size_t frame;
};

// Reads up to kChunk whole frames; 0 at the end, -errno on failure. A
// partial last frame (from a pipe) is dropped.
long readFrames(rawReader &r) {
    const long got = readBuffer(r.fd, r.bytes.data(), kChunk * r.frame);
    return got < 0 ? got : got / static_cast<long>(r.frame);
}

// The frames as complex samples of full scale 1: in `out`, or for cf32 the
// bytes themselves.
const cf *toComplex(sampleFormat f, uint8_t *b, size_t frames, cf *out) {
    switch (f) {
    case sampleFormat::cu8:
        measureBytes(b, static_cast<uint32_t>(2 * frames));
        for (size_t k = 0; k < frames; ++k) out[k] = cf((b[2 * k] - 127.5f) / 127.5f, (b[2 * k + 1] - 127.5f) / 127.5f);
        break;
    case sampleFormat::cs8:
        for (size_t k = 0; k < frames; ++k)
            out[k] = cf(static_cast<int8_t>(b[2 * k]) / 128.0f, static_cast<int8_t>(b[2 * k + 1]) / 128.0f);
        // As unsigned bytes (b + 128) the extremes are 0 and 255, as for cu8.
        for (size_t k = 0; k < 2 * frames; ++k) b[k] ^= 0x80;
        measureBytes(b, static_cast<uint32_t>(2 * frames));
        break;
    case sampleFormat::cs16:
        for (size_t k = 0; k < frames; ++k) {
            int16_t v[2];
            std::memcpy(v, b + 4 * k, 4);
            out[k] = cf(v[0] / 32768.0f, v[1] / 32768.0f);
        }
        break;
    case sampleFormat::cf32: return reinterpret_cast<const cf *>(b);
    default: break;
    }
    return out;
}

// --throttle: the reader sleeps whenever it is ahead of the signal's own
// clock, so that a recording plays as the dongle would deliver it.
struct pacer {
    bool on = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double seconds = 0;  // of signal handed on so far
    void add(double s) {
        seconds += s;
        if (on) std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    }
};

// AM audio's envelope values at 50 kHz, paced every 20 ms.
struct audioFeed {
    pacer pace;
    uint32_t values = 0;
};
void toValue(void *user, float v) {
    envelopeValue(std::max(0.0f, 1.0f + v));
    auto &f = *static_cast<audioFeed *>(user);
    if (++f.values == 1000) {
        f.values = 0;
        f.pace.add(0.02);
    }
}

// The down-converters, one a station, and where their outputs go.
struct ddcSet {
    std::vector<downConverter> d;
    stationSink sink = nullptr;
    void *user = nullptr;
};

void ddcFree(ddcSet &s) {
    for (downConverter &d : s.d) ddcFree(d);
}

void ddcRun(ddcSet &s, const cf *x, size_t n) {
    for (size_t k = 0; k < s.d.size(); ++k)
        ddcRun(s.d[k], x, n, [&](cf v) { s.sink(s.user, k, v.real() * kToBlock, v.imag() * kToBlock); });
}

int streamIq(const recording &rec, const std::vector<double> &offsets, stationSink sink, void *user, std::string &err) {
    ddcSet d;
    d.sink = sink;
    d.user = user;
    d.d.resize(offsets.size());
    for (size_t k = 0; k < offsets.size(); ++k)
        if (!ddcInit(d.d[k], rec.rate, offsets[k])) {
            err = fail(rec.shown, "the down-converter could not be set up for " + rateText(rec.rate));
            ddcFree(d);
            return -1;
        }
    std::vector<cf> iq(kChunk);
    int result = 0;
    pacer pace;
    pace.on = rec.throttle;
    if (rec.format == sampleFormat::wavIq) {
        SF_INFO info;
        SNDFILE *s = openWav(rec.data, info, err);
        if (!s) {
            ddcFree(d);
            return -1;
        }
        std::vector<float> b(2 * kChunk);
        sf_count_t got;
        while (!stopRequested() && (got = sf_readf_float(s, b.data(), static_cast<sf_count_t>(kChunk))) > 0) {
            for (sf_count_t k = 0; k < got; ++k)
                iq[static_cast<size_t>(k)] = cf(b[2 * static_cast<size_t>(k)], b[2 * static_cast<size_t>(k) + 1]);
            ddcRun(d, iq.data(), static_cast<size_t>(got));
            std::fflush(stdout);
            pace.add(static_cast<double>(got) / rec.rate);
        }
        if (sf_error(s) != SF_ERR_NO_ERROR) {
            err = fail(rec.shown, std::string("reading failed: ") + sf_strerror(s));
            result = -1;
        }
        sf_close(s);
    } else {
        rawReader r{rec.data == "-" ? STDIN_FILENO : open(rec.data.c_str(), O_RDONLY), {}, frameBytes(rec.format)};
        if (r.fd < 0) {
            err = "navdial: cannot open " + rec.data + ": " + std::strerror(errno);
            ddcFree(d);
            return -1;
        }
        r.bytes.resize(kChunk * r.frame);
        long got;
        while ((got = readFrames(r)) > 0) {
            const cf *x = toComplex(rec.format, r.bytes.data(), static_cast<size_t>(got), iq.data());
            ddcRun(d, x, static_cast<size_t>(got));
            std::fflush(stdout);
            if (stopRequested()) break;
            pace.add(static_cast<double>(got) / rec.rate);
        }
        if (got < 0) {
            err = "navdial: cannot read " + (rec.data == "-" ? std::string("standard input") : rec.shown) + ": " +
                  std::strerror(static_cast<int>(-got));
            result = -1;
        }
        if (r.fd != STDIN_FILENO) close(r.fd);
    }
    ddcFree(d);
    if (result == 0 && stopRequested()) result = 1;
    return result;
}

}  // namespace

namespace {

int readLayout(int fd, pacer &pace) {
    std::vector<unsigned char> bytes(kDongleBuffer);
    unsigned char *buf = bytes.data();
    streamStarted();
    for (;;) {
        // Fill the whole buffer first: a short read from a pipe must not
        // split an I/Q pair between two calls.
        const long got = readBuffer(fd, buf, kDongleBuffer);
        if (got < 0) return static_cast<int>(got);
        if (stopRequested()) return 1;
        const size_t have = static_cast<size_t>(got);
        if (have > 0) rtlBuffer(buf, static_cast<uint32_t>(have));
        if (stopRequested()) return 1;
        if (have < kDongleBuffer) return 0;
        pace.add(static_cast<double>(have / 2) / kDongleRate);
    }
}

}  // namespace

int runFileSample(int fd) {
    pacer pace;
    return readLayout(fd, pace);
}

long readBuffer(int fd, unsigned char *buf, size_t want) {
    size_t have = 0;
    while (have < want && !stopRequested()) {
        const ssize_t got = read(fd, buf + have, want - have);
        if (got > 0) {
            have += static_cast<size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            return -errno;
        }
    }
    return static_cast<long>(have);
}

int runLayoutRecording(const recording &rec, std::string &err) {
    const bool useStdin = rec.data == "-";
    const int fd = useStdin ? STDIN_FILENO : open(rec.data.c_str(), O_RDONLY);
    if (fd < 0) {
        err = "navdial: cannot open " + rec.data + ": " + std::strerror(errno);
        return -1;
    }
    pacer pace;
    pace.on = rec.throttle;
    const int r = readLayout(fd, pace);
    if (!useStdin) close(fd);
    if (r < 0) {
        err =
            "navdial: cannot read " + (useStdin ? std::string("standard input") : rec.data) + ": " + std::strerror(-r);
        return -1;
    }
    return r;
}

const char *formatName(sampleFormat f) {
    for (const auto &p : kPrefixes)
        if (p.format == f) return p.name;
    return "?";
}

namespace {

bool allDigits(const std::string &s, size_t n = 0) {
    if (s.empty() || (n && s.size() != n)) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The fields of a name between underscores.
std::vector<std::string> fields(const std::string &name) {
    std::vector<std::string> f(1);
    for (char c : name) {
        if (c == '_')
            f.emplace_back();
        else
            f.back() += c;
    }
    return f;
}

// A "<digits>Hz" with 6 digits or more, standing between separators.
double hertzInName(const std::string &name) {
    for (size_t at = name.find("Hz"); at != std::string::npos; at = name.find("Hz", at + 1)) {
        size_t b = at;
        while (b > 0 && name[b - 1] >= '0' && name[b - 1] <= '9') --b;
        const bool before = b == 0 || name[b - 1] == '_' || name[b - 1] == '-';
        const char after = at + 2 < name.size() ? name[at + 2] : '\0';
        if (at - b >= 6 && before && (after == '\0' || after == '_' || after == '.' || after == '-'))
            return std::stod(name.substr(b, at - b));
    }
    return 0;
}

}  // namespace

nameFacts factsFromName(const std::string &path) {
    nameFacts f;
    const std::string name = baseName(path);
    // gqrx_YYYYMMDD_HHMMSS_<centre>_<rate>_fc.raw
    const std::vector<std::string> p = fields(name);
    if (p.size() == 6 && p[0] == "gqrx" && allDigits(p[1], 8) && allDigits(p[2], 6) && allDigits(p[3]) &&
        allDigits(p[4]) && p[5] == "fc.raw") {
        f.centreHz = std::stod(p[3]);
        f.rate = std::stod(p[4]);
        f.gqrx = true;
    } else if (endsWith(name, ".wav")) {
        f.centreHz = hertzInName(name);
    }
    for (size_t k = 0; k + 1 < p.size(); ++k)
        if (allDigits(p[k], 8) && p[k + 1].size() == 7 && allDigits(p[k + 1].substr(0, 6), 6) && p[k + 1][6] == 'Z') {
            const std::string &d = p[k], &t = p[k + 1];
            f.startUtc = utcSeconds(d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) + "T" +
                                    t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2) + "Z");
        }
    return f;
}

bool openRecording(const char *arg, double rateHz, double centreHz, int32_t freqHz, recording &rec, std::string &err) {
    rec = recording{};
    std::string path = arg;
    bool forced = false, sigmf = false;
    const size_t colon = path.find(':');
    if (colon != std::string::npos) {
        const std::string prefix = path.substr(0, colon);
        for (const auto &p : kPrefixes)
            if (prefix == p.name) {
                rec.format = p.format;
                forced = true;
            }
        if (prefix == "sigmf") forced = sigmf = true;
        if (forced) {
            path = path.substr(colon + 1);
        } else if (access(path.c_str(), F_OK) != 0) {
            err = "navdial: unknown format '" + prefix + "' in '" + path +
                  "': the formats are cu8, cs8, cs16, cf32, wav, sigmf and am";
            return false;
        }
    }
    rec.shown = rec.data = path;
    const nameFacts facts = factsFromName(path);
    rec.startUtc = facts.startUtc;
    if (!forced) {
        if (endsWith(path, ".sigmf")) {
            err = fail(path, "a SigMF archive: unpack it (tar xf) and name its .sigmf-meta file");
            return false;
        }
        if (endsWith(path, ".sigmf-meta") || endsWith(path, ".sigmf-data")) sigmf = true;
        for (const auto &e : kExtensions)
            if (endsWith(path, e.name)) rec.format = e.format;
        if (facts.gqrx) rec.format = sampleFormat::cf32;
    }
    double fileRate = facts.rate, fileCentre = facts.centreHz;
    const bool isWav = rec.format == sampleFormat::wavIq || rec.format == sampleFormat::audio;
    if (path == "-" && (sigmf || isWav)) {
        err = "navdial: standard input can carry raw IQ (cu8, cs8, cs16, cf32) only, not " +
              std::string(sigmf ? "SigMF" : "WAV");
        return false;
    }
    if (sigmf) {
        std::string base = path;
        if (endsWith(base, ".sigmf-meta") || endsWith(base, ".sigmf-data")) base.resize(base.size() - 11);
        if (!readSigmf(base + ".sigmf-meta", rec, fileRate, fileCentre, err)) return false;
        rec.data = base + ".sigmf-data";
        rec.shown = base + ".sigmf-meta";
    }
    if (isWav) {
        SF_INFO info;
        SNDFILE *s = openWav(path, info, err);
        if (!s) return false;
        std::string cut;
        if (wavTruncated(s, info, cut)) rec.notice = fail(path, cut);
        rec.channels = info.channels;
        fileRate = info.samplerate;
        rec.eightBit = eightBitWav(info.format);
        if (info.frames <= 0) {
            sf_close(s);
            err = fail(path, "holds no samples");
            return false;
        }
        if (info.channels == 1) {
            rec.format = sampleFormat::audio;
        } else if (info.channels == 2) {
            if (rec.format != sampleFormat::audio && channelsIdentical(s)) rec.format = sampleFormat::audio;
        } else {
            sf_close(s);
            err = fail(path, "a WAV of " + std::to_string(info.channels) +
                                 " channels is neither IQ (2 channels) nor AM audio (1)");
            return false;
        }
        sf_close(s);
        // Audio's samples are not the radio's: nothing of them clips or quantises as IQ bytes.
        if (rec.format == sampleFormat::audio) rec.eightBit = false;
        const double r = rateHz > 0 ? rateHz : fileRate;
        if (rec.format == sampleFormat::wavIq && r < kMinIqRate && r >= kMinAudioRate) {
            err = fail(path, "a 2-channel WAV at " + rateText(r) +
                                 " whose channels differ: too slow for IQ (225 kS/s at least), and not mono AM "
                                 "audio; if it is audio, give it as am:" +
                                 path);
            return false;
        }
    } else {
        rec.eightBit = rec.format == sampleFormat::cu8 || rec.format == sampleFormat::cs8;
    }

    // What the options say wins over what the file says.
    const bool raw = !isWav && !sigmf;
    rec.rate = rateHz > 0 ? rateHz : fileRate;
    rec.centreHz = centreHz > 0 ? centreHz : fileCentre;
    if (raw && rec.format == sampleFormat::cu8 && !facts.gqrx) {
        // What navdial's own dongle set-up records: 2 MS/s, the station 50 kHz above the centre.
        if (rec.rate <= 0) rec.rate = kDongleRate;
        if (rec.centreHz <= 0) rec.centreHz = freqHz - kDongleOffset;
    }
    if (rec.format == sampleFormat::audio) {
        if (!(rec.rate >= kMinAudioRate)) {
            err = fail(rec.shown, "AM audio at " + rateText(rec.rate) + " is too slow: 22.05 kHz at least");
            return false;
        }
        return true;
    }
    if (rec.rate <= 0) {
        err = fail(rec.shown, "the sample rate is not known: give it with -s (for example -s 2048000 or -s 1.8M)");
        return false;
    }
    if (rec.centreHz <= 0) {
        err = fail(rec.shown, "the centre frequency the recording was tuned to is not known: give it with -c MHz");
        return false;
    }
    if (rec.rate < kMinIqRate || rec.rate > kMaxIqRate) {
        err = fail(rec.shown, "IQ at " + rateText(rec.rate) + " is outside what navdial reads (225 kS/s to 3.2 MS/s)");
        return false;
    }
    rec.offsetHz = freqHz - rec.centreHz;
    const double half = rec.rate / 2 - kEdge;
    if (std::fabs(rec.offsetHz) > half) {
        err = fail(rec.shown, mhz(freqHz) + " is outside the recording: " + rateText(rec.rate) + " around " +
                                  mhz(rec.centreHz) + " covers " + mhz(rec.centreHz - half) + " to " +
                                  mhz(rec.centreHz + half) + " (20 kHz kept from each edge)");
        return false;
    }
    rec.dongle = raw && rec.format == sampleFormat::cu8 && rec.rate == kDongleRate && rec.offsetHz == kDongleOffset;
    if (rec.format == sampleFormat::wavIq || rec.data == "-") return true;
    struct stat st;
    if (rec.dongle) {
        // The dongle's layout is read as it always was, its errors said on
        // reading; only an odd byte at its end is said here.
        if (stat(rec.data.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size % 2 != 0)
            rec.notice = fail(rec.data, "cut short: the last byte of its " + std::to_string(st.st_size) +
                                            " is not a whole 2-byte cu8 sample; left out");
        return true;
    }

    // Raw samples: the file must hold samples. What is left over after the
    // last whole one (a recorder or copy stopped mid-sample) is said and
    // left out.
    if (stat(rec.data.c_str(), &st) != 0) {
        err = "navdial: cannot open " + rec.data + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        err = fail(rec.data, "is a directory");
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        const auto size = static_cast<unsigned long long>(st.st_size);
        const size_t fb = frameBytes(rec.format);
        if (size < fb) {
            err = fail(rec.data, "holds no samples");
            return false;
        }
        if (size % fb != 0)
            rec.notice = fail(rec.data, "cut short: the last " + std::to_string(size % fb) + " of its " +
                                            std::to_string(size) + " bytes are not a whole " + std::to_string(fb) +
                                            "-byte " + formatName(rec.format) + " sample; left out");
    }
    return true;
}

int runAudioRecording(const recording &rec, std::string &err) {
    audioFeed feed;
    feed.pace.on = rec.throttle;
    if (!streamAmAudio(rec.data, rec.shown, rec.rate, toValue, &feed, stopRequested, err)) return -1;
    return stopRequested() ? 1 : 0;
}

int runRecordingStations(const recording &rec, const std::vector<double> &offsets, stationSink sink, void *user,
                         std::string &err) {
    return streamIq(rec, offsets, sink, user, err);
}

double noiseShape(const recording &rec) {
    if (rec.format == sampleFormat::audio || rec.dongle) return 1.0;
    downConverter d;
    if (!ddcInit(d, rec.rate, rec.offsetHz)) {
        ddcFree(d);
        return 1.0;
    }
    // 0.25 s of white noise of variance 1 per component, uniform: the
    // filters care for its spectrum, not its distribution, and integers
    // turned into floats give the same noise on every machine. In the
    // pass band the output then has 50000/rate per component.
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto uniform = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (static_cast<float>(state >> 40) - 8388608.0f) * (3.4641016f / 16777216.0f);  // sqrt(12)
    };
    std::vector<cf> x(kChunk);
    std::vector<float> re;
    const size_t total = static_cast<size_t>(0.25 * rec.rate);
    for (size_t done = 0; done < total; done += kChunk) {
        for (auto &v : x) {
            const float i = uniform();
            v = cf(i, uniform());
        }
        ddcRun(d, x.data(), x.size(), [&](cf v) { re.push_back(v.real()); });
    }
    ddcFree(d);
    const size_t settle = 1000;  // the filters' start
    if (re.size() < settle + 5000) return 1.0;
    const double p = trustHighPassPower(re.data() + settle, re.size() - settle);
    return p / (kOut / rec.rate);
}
