#include "net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string request(int port, const std::string &raw) {
    const int fd = connectTo(port);
    if (fd < 0) return "";
    send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    std::string got;
    char b[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 5000) > 0) {
        const ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0) break;
        got.append(b, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}

std::string get(int port, const std::string &path) {
    const std::string r = request(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const size_t body = r.find("\r\n\r\n");
    return body == std::string::npos ? "" : r.substr(body + 4);
}

bool waitForServer(int port, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        const int fd = connectTo(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string readUntil(int fd, const std::string &until, double seconds) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    pollfd p{fd, POLLIN, 0};
    while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
        if (poll(&p, 1, 100) <= 0) continue;
        char b[4096];
        const ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0) break;
        got.append(b, static_cast<size_t>(n));
    }
    return got;
}
