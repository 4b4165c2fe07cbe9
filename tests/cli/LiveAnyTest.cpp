// Live capture on "any" (a Linux cooked capture, no address of its own): an HLS request over
// IPv6 loopback is found, with the IPv6 host of the request.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "TestFrames.h"

namespace {

// Sends the request from a client socket to a listening one on [::1]; false when IPv6 loopback
// is not there.
bool SendOverIpv6Loopback(const std::string& path, int* portOut) {
    const int server = socket(AF_INET6, SOCK_STREAM, 0);
    if (server < 0) return false;
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof(addr);
    if (bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(server, 1) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(server);
        return false;
    }
    const int port = ntohs(addr.sin6_port);
    const int client = socket(AF_INET6, SOCK_STREAM, 0);
    bool sent = false;
    if (client >= 0 && connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: [::1]:" + std::to_string(port) + "\r\n\r\n";
        sent =
            send(client, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size());
        const int accepted = accept(server, nullptr, nullptr);
        if (accepted >= 0) close(accepted);
    }
    if (client >= 0) close(client);
    close(server);
    *portOut = port;
    return sent;
}

}  // namespace

TEST(CliLive, AnyDeviceFindsAnIpv6LoopbackRequest) {
    const std::string folder = testframes::TempFolder("any");
    const std::string outFile = folder + "/stdout", errFile = folder + "/stderr";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FILE* out = std::freopen(outFile.c_str(), "w", stdout);
        FILE* err = std::freopen(errFile.c_str(), "w", stderr);
        (void)out, (void)err;
        execl(STREVIX_CLI, STREVIX_CLI, "-i", "any", static_cast<char*>(nullptr));
        _exit(127);
    }
    usleep(700 * 1000);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        GTEST_SKIP() << "live capture not permitted: " << testframes::ReadFile(errFile);
    }
    int port = 0;
    const bool sent = SendOverIpv6Loopback("/live/any.m3u8", &port);
    const std::string want = "HLS-http://[::1]:" + std::to_string(port) + "/live/any.m3u8";
    for (int i = 0;
         sent && i < 300 && testframes::ReadFile(outFile).find(want) == std::string::npos; ++i)
        usleep(10 * 1000);
    kill(pid, SIGINT);
    for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10 * 1000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);  // our own child, hung
        waitpid(pid, &status, 0);
        FAIL() << "did not stop within 3 s";
    }
    if (!sent) GTEST_SKIP() << "no IPv6 loopback here";
    EXPECT_NE(testframes::ReadFile(outFile).find(want), std::string::npos)
        << testframes::ReadFile(outFile) << testframes::ReadFile(errFile);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
