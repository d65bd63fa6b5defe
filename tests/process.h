// Runs the real programs as processes, as a shell would, for tests of their
// command line, messages, exit statuses and signals.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct Outcome {
    int status = -1;  // exit status as the shell sees it (0-255); 128+n for a signal n
    std::string out, err;
};

// Runs argv[0] (a path) with the arguments, extra "NAME=value" environment
// entries and `input` on standard input; waits for it.
Outcome run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
            const std::string &input = "");

// A process left running, with its standard output and error on pipes.
struct Child {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string outText, errText;
};

Child start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});

// Reads standard output until it holds `lines` lines or `seconds` pass.
bool waitForLines(Child &c, size_t lines, double seconds);

// Reads the rest of both pipes and waits for the end.
Outcome finish(Child &c);

// Argument vector for one of our programs, with the emulator in front when
// the tests run a cross-built binary.
std::vector<std::string> program(const std::string &path, const std::vector<std::string> &args);
