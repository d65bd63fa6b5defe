// replug run as a process: every failure is reported, success is silent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "process.h"

namespace {

Outcome replug(const std::vector<std::string> &args) { return run(program(REPLUG_BIN, args)); }

std::string scratchFile() {
    const std::string path = "/tmp/replug-test-" + std::to_string(getpid());
    FILE *f = std::fopen(path.c_str(), "w");
    std::fclose(f);
    return path;
}

TEST(Replug, FailuresAreReported) {
    const std::string file = scratchFile();
    struct Case {
        std::string path, err;
    } cases[] = {
        {"/nonexistent/bus/usb/001/002",
         "replug: cannot open /nonexistent/bus/usb/001/002: No such file or directory\n"},
        {"/tmp", "replug: cannot open /tmp: Is a directory\n"},
        {file, "replug: cannot reset " + file + ": Inappropriate ioctl for device\n"},
        {"/dev/null", "replug: cannot reset /dev/null: Inappropriate ioctl for device\n"},
    };
    for (const auto &c : cases) {
        const Outcome r = replug({c.path, "ignored"});
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_EQ(r.err, c.err) << c.path;
        EXPECT_EQ(r.out, "") << c.path;
    }
    std::remove(file.c_str());
}

TEST(Replug, NodeWithoutPermission) {
    const std::string file = scratchFile();
    chmod(file.c_str(), 0600);
    std::vector<std::string> argv = program(REPLUG_BIN, {file});
    if (getuid() == 0) {
        // root may open anything: run it as nobody instead.
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    } else {
        chmod(file.c_str(), 0);
    }
    const Outcome r = run(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "replug: cannot open " + file + ": Permission denied\n");
    std::remove(file.c_str());
}

TEST(Replug, NoArgumentDoesNothing) {
    const Outcome r = replug({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(Replug, ResetsAMockDongle) {
    // umockdev presents a usbfs node on which USBDEVFS_RESET succeeds (and
    // other requests fail), for a process it has preloaded.
    if (access("/usr/bin/umockdev-run", X_OK) != 0) GTEST_SKIP() << "umockdev is not installed";
    if (std::string(NAVDIAL_EMULATOR) != "") GTEST_SKIP() << "umockdev cannot preload into an emulated program";
    const std::string dev = TEST_DATA "/dongle.umockdev";
    // The preload library comes before a sanitizer's runtime; let it.
    const std::vector<std::string> env = {"ASAN_OPTIONS=verify_asan_link_order=0"};
    Outcome r = run({"/usr/bin/umockdev-run", "-d", dev, "--", REPLUG_BIN, "/dev/bus/usb/001/002"}, env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    r = run({"/usr/bin/umockdev-run", "-d", dev, "--", REPLUG_BIN, "/dev/bus/usb/001/003"}, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "replug: cannot open /dev/bus/usb/001/003: No such file or directory\n");
}

}  // namespace
