#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

int toStatus(int ws) {
    if (WIFEXITED(ws)) return WEXITSTATUS(ws);
    if (WIFSIGNALED(ws)) return 128 + WTERMSIG(ws);
    return -1;
}

Child spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, int in) {
    int o[2], e[2];
    if (pipe(o) || pipe(e)) std::abort();
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(in, 0);
        dup2(o[1], 1);
        dup2(e[1], 2);
        close(o[0]), close(e[0]), close(o[1]), close(e[1]);
        signal(SIGPIPE, SIG_DFL);
        for (const auto &kv : env) putenv(const_cast<char *>(kv.c_str()));
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(o[1]);
    close(e[1]);
    c.out = o[0];
    c.err = e[0];
    return c;
}

// Reads whatever is ready within `ms`; false once both pipes are closed.
bool pump(Child &c, int ms) {
    pollfd p[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    const int n = (c.out >= 0) + (c.err >= 0);
    if (n == 0) return false;
    for (auto &q : p)
        if (q.fd < 0) q.events = 0;
    if (poll(p, 2, ms) <= 0) return true;
    char buf[65536];
    int *fds[2] = {&c.out, &c.err};
    std::string *texts[2] = {&c.outText, &c.errText};
    for (int k = 0; k < 2; ++k) {
        if (*fds[k] < 0 || !(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t got = read(*fds[k], buf, sizeof buf);
        if (got > 0) {
            texts[k]->append(buf, static_cast<size_t>(got));
        } else {
            close(*fds[k]);
            *fds[k] = -1;
        }
    }
    return true;
}

}  // namespace

Child start(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    const int null = open("/dev/null", O_RDONLY);
    Child c = spawn(argv, env, null);
    close(null);
    return c;
}

bool waitForLines(Child &c, size_t lines, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        size_t n = 0;
        for (char ch : c.outText) n += ch == '\n';
        if (n >= lines) return true;
        if (!pump(c, 50)) return false;
    }
    return false;
}

Outcome finish(Child &c) {
    while (pump(c, 1000)) {
    }
    int ws = 0;
    waitpid(c.pid, &ws, 0);
    Outcome r;
    r.status = toStatus(ws);
    r.out = c.outText;
    r.err = c.errText;
    return r;
}

Outcome run(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &input) {
    // Standard input from a temporary file: no writer to keep in step.
    char name[] = "/tmp/navdial-in-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) std::abort();
    lseek(fd, 0, SEEK_SET);
    unlink(name);
    Child c = spawn(argv, env, fd);
    close(fd);
    return finish(c);
}

std::vector<std::string> program(const std::string &path, const std::vector<std::string> &args) {
    std::vector<std::string> v;
    std::istringstream emu(NAVDIAL_EMULATOR);  // ";"-separated, empty when native
    for (std::string part; std::getline(emu, part, ';');)
        if (!part.empty()) v.push_back(part);
    v.push_back(path);
    v.insert(v.end(), args.begin(), args.end());
    return v;
}
