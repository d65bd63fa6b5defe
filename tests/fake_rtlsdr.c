/* A stand-in for librtlsdr, with its soname and the C API of its header, for
 * running the real navdial without a dongle. Scripted by the environment:
 *
 *   FAKE_RTLSDR_LOG     file to which every call is appended, one line each
 *   FAKE_RTLSDR_COUNT   number of devices (1)
 *   FAKE_RTLSDR_GAINS   supported gains, comma-separated tenths of dB
 *   FAKE_RTLSDR_GAINS2  what the second gain query returns, if not the count
 *   FAKE_RTLSDR_FAIL    calls that fail, comma-separated names without the
 *                       rtlsdr_ prefix (e.g. open,set_sample_rate,read_async)
 *   FAKE_RTLSDR_FAIL_AFTER  those calls succeed this many times first (0)
 *   FAKE_RTLSDR_OPEN_NULL  open returns 0 but leaves the handle empty
 *   FAKE_RTLSDR_OPEN_MS open takes this long
 *   FAKE_RTLSDR_IQ      file streamed in buffers of the requested length, from
 *                       its start on each read_async; a "%u" in it becomes
 *                       the centre frequency set last (a file per tuning)
 *   FAKE_RTLSDR_PACE_MS pause before each buffer
 *   FAKE_RTLSDR_END     after the file: "lost" (return 0, the default),
 *                       "stall" (deliver nothing more until cancelled),
 *                       "wedged" (deliver nothing and ignore the cancel)
 */
#include <rtl-sdr.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct rtlsdr_dev {
    volatile int cancel;
};

static struct rtlsdr_dev the_dev;

static void logf_(const char *fmt, ...) {
    const char *path = getenv("FAKE_RTLSDR_LOG");
    if (!path) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

static int env_int(const char *name, int def) {
    const char *v = getenv(name);
    return v ? atoi(v) : def;
}

static int fails(const char *name) {
    static int passed; /* calls of the listed names let through so far */
    const char *list = getenv("FAKE_RTLSDR_FAIL");
    if (!list) return 0;
    size_t n = strlen(name);
    for (const char *p = list; (p = strstr(p, name)) != NULL; p += n)
        if ((p == list || p[-1] == ',') && (p[n] == ',' || p[n] == '\0'))
            return passed++ < env_int("FAKE_RTLSDR_FAIL_AFTER", 0) ? 0 : 1;
    return 0;
}

static void sleep_ms(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL); /* a signal cuts it short, as it cuts libusb's poll */
}

uint32_t rtlsdr_get_device_count(void) {
    int n = env_int("FAKE_RTLSDR_COUNT", 1);
    logf_("get_device_count -> %d", n);
    return (uint32_t)n;
}

const char *rtlsdr_get_device_name(uint32_t index) {
    logf_("get_device_name %u", index);
    return "Fake RTL2832U";
}

int rtlsdr_get_device_usb_strings(uint32_t index, char *m, char *p, char *s) {
    logf_("get_device_usb_strings %u", index);
    if (m) strcpy(m, "Fake");
    if (p) strcpy(p, "RTL2832U");
    if (s) strcpy(s, "00000001");
    return 0;
}

int rtlsdr_get_index_by_serial(const char *serial) {
    logf_("get_index_by_serial %s", serial ? serial : "(null)");
    return -3;
}

int rtlsdr_open(rtlsdr_dev_t **dev, uint32_t index) {
    logf_("open %u", index);
    const int slow = env_int("FAKE_RTLSDR_OPEN_MS", 0);
    if (slow) sleep_ms(slow);
    if (fails("open")) return -3;
    if (getenv("FAKE_RTLSDR_OPEN_NULL")) return 0;
    the_dev.cancel = 0;
    *dev = &the_dev;
    return 0;
}

int rtlsdr_close(rtlsdr_dev_t *dev) {
    (void)dev;
    logf_("close");
    return 0;
}

#define SETTER(name, type, fmt)                    \
    int rtlsdr_##name(rtlsdr_dev_t *dev, type v) { \
        (void)dev;                                 \
        logf_(#name " " fmt, v);                   \
        return fails(#name) ? -1 : 0;              \
    }

static uint32_t the_centre;

int rtlsdr_set_center_freq(rtlsdr_dev_t *dev, uint32_t v) {
    (void)dev;
    logf_("set_center_freq %u", v);
    if (fails("set_center_freq")) return -1;
    the_centre = v;
    return 0;
}

SETTER(set_freq_correction, int, "%d")
SETTER(set_tuner_gain, int, "%d")
SETTER(set_tuner_bandwidth, uint32_t, "%u")
SETTER(set_tuner_gain_mode, int, "%d")
SETTER(set_sample_rate, uint32_t, "%u")
SETTER(set_testmode, int, "%d")
SETTER(set_agc_mode, int, "%d")
SETTER(set_direct_sampling, int, "%d")
SETTER(set_offset_tuning, int, "%d")
SETTER(set_bias_tee, int, "%d")

int rtlsdr_set_xtal_freq(rtlsdr_dev_t *dev, uint32_t rtl_freq, uint32_t tuner_freq) {
    (void)dev;
    logf_("set_xtal_freq %u %u", rtl_freq, tuner_freq);
    return 0;
}

int rtlsdr_get_xtal_freq(rtlsdr_dev_t *dev, uint32_t *rtl_freq, uint32_t *tuner_freq) {
    (void)dev;
    if (rtl_freq) *rtl_freq = 28800000;
    if (tuner_freq) *tuner_freq = 28800000;
    return 0;
}

int rtlsdr_get_usb_strings(rtlsdr_dev_t *dev, char *m, char *p, char *s) {
    (void)dev;
    return rtlsdr_get_device_usb_strings(0, m, p, s);
}

int rtlsdr_write_eeprom(rtlsdr_dev_t *dev, uint8_t *data, uint8_t offset, uint16_t len) {
    (void)dev, (void)data, (void)offset, (void)len;
    return -1;
}

int rtlsdr_read_eeprom(rtlsdr_dev_t *dev, uint8_t *data, uint8_t offset, uint16_t len) {
    (void)dev, (void)data, (void)offset, (void)len;
    return -1;
}

uint32_t rtlsdr_get_center_freq(rtlsdr_dev_t *dev) {
    (void)dev;
    return 0;
}
int rtlsdr_get_freq_correction(rtlsdr_dev_t *dev) {
    (void)dev;
    return 0;
}
enum rtlsdr_tuner rtlsdr_get_tuner_type(rtlsdr_dev_t *dev) {
    (void)dev;
    return RTLSDR_TUNER_R820T;
}
int rtlsdr_get_tuner_gain(rtlsdr_dev_t *dev) {
    (void)dev;
    return 0;
}
uint32_t rtlsdr_get_sample_rate(rtlsdr_dev_t *dev) {
    (void)dev;
    return 0;
}
int rtlsdr_get_direct_sampling(rtlsdr_dev_t *dev) {
    (void)dev;
    return 0;
}
int rtlsdr_get_offset_tuning(rtlsdr_dev_t *dev) {
    (void)dev;
    return 0;
}

int rtlsdr_set_tuner_if_gain(rtlsdr_dev_t *dev, int stage, int gain) {
    (void)dev;
    logf_("set_tuner_if_gain %d %d", stage, gain);
    return 0;
}

int rtlsdr_set_bias_tee_gpio(rtlsdr_dev_t *dev, int gpio, int on) {
    (void)dev;
    logf_("set_bias_tee_gpio %d %d", gpio, on);
    return 0;
}

int rtlsdr_get_tuner_gains(rtlsdr_dev_t *dev, int *gains) {
    (void)dev;
    const char *list = getenv("FAKE_RTLSDR_GAINS");
    int n = 0;
    if (list && *list) {
        n = 1;
        for (const char *p = list; *p; ++p) n += *p == ',';
    }
    if (gains) {
        const char *p = list;
        for (int i = 0; i < n; ++i) {
            gains[i] = (int)strtol(p, (char **)&p, 10);
            if (*p == ',') ++p;
        }
        n = env_int("FAKE_RTLSDR_GAINS2", n);
    }
    logf_("get_tuner_gains %s -> %d", gains ? "list" : "NULL", n);
    return n;
}

int rtlsdr_reset_buffer(rtlsdr_dev_t *dev) {
    (void)dev;
    logf_("reset_buffer");
    return fails("reset_buffer") ? -1 : 0;
}

int rtlsdr_read_sync(rtlsdr_dev_t *dev, void *buf, int len, int *n_read) {
    (void)dev, (void)buf, (void)len;
    if (n_read) *n_read = 0;
    return -1;
}

int rtlsdr_read_async(rtlsdr_dev_t *dev, rtlsdr_read_async_cb_t cb, void *ctx, uint32_t buf_num, uint32_t buf_len) {
    logf_("read_async %u %u", buf_num, buf_len);
    if (fails("read_async")) return -1;
    dev->cancel = 0; /* as the real one: a cancel ends the stream it was meant for */
    const char *pattern = getenv("FAKE_RTLSDR_IQ");
    char path[4096] = "";
    if (pattern) {
        const char *at = strstr(pattern, "%u");
        if (at)
            snprintf(path, sizeof path, "%.*s%u%s", (int)(at - pattern), pattern, the_centre, at + 2);
        else
            snprintf(path, sizeof path, "%s", pattern);
    }
    const char *end = getenv("FAKE_RTLSDR_END");
    const int pace = env_int("FAKE_RTLSDR_PACE_MS", 0);
    unsigned char *buf = malloc(buf_len ? buf_len : 1);
    FILE *f = pattern ? fopen(path, "rb") : NULL;
    unsigned long delivered = 0;
    while (!dev->cancel && f && buf) {
        if (pace) sleep_ms(pace);
        if (dev->cancel) break;
        if (fread(buf, 1, buf_len, f) != buf_len) break;
        cb(buf, buf_len, ctx);
        ++delivered;
    }
    if (f) fclose(f);
    free(buf);
    logf_("delivered %lu", delivered);
    if (dev->cancel) {
        logf_("cancelled");
        return -5; /* the real library can return an error after a requested cancel */
    }
    if (end && strcmp(end, "stall") == 0) {
        while (!dev->cancel) sleep_ms(100);
        logf_("cancelled");
        return 0;
    }
    if (end && strcmp(end, "wedged") == 0)
        for (;;) sleep_ms(100);
    return 0; /* lost: the stream just ended */
}

int rtlsdr_wait_async(rtlsdr_dev_t *dev, rtlsdr_read_async_cb_t cb, void *ctx) {
    return rtlsdr_read_async(dev, cb, ctx, 0, 0);
}

int rtlsdr_cancel_async(rtlsdr_dev_t *dev) {
    if (!dev) return -1;
    dev->cancel = 1; /* async-signal-safe: the real one also only sets integers */
    return 0;
}
