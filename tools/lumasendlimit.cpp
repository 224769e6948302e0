// lumasendlimit: the least a server can spend handing a live stream to many
// viewers on this machine, for bench/fanout to hold the stream server to.
//
//   lumasendlimit PORT VIEWERS BYTES_PER_SECOND FPS
//       answers VIEWERS HTTP requests on PORT, then sends each of them
//       BYTES_PER_SECOND / FPS bytes FPS times a second, one sendmsg per
//       viewer per picture, with nothing else: no encoding, no queue, no
//       framing. Prints "serving" once every viewer is there; runs until
//       killed. Its CPU time is what the bench reads.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: lumasendlimit PORT VIEWERS BYTES_PER_SECOND FPS\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int viewers = std::atoi(argv[2]);
    const long bytesPerSecond = std::atol(argv[3]);
    const int fps = std::atoi(argv[4]);
    if (port <= 0 || viewers <= 0 || bytesPerSecond <= 0 || fps <= 0) return 2;

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1024) != 0) {
        std::perror("lumasendlimit");
        return 1;
    }
    std::fprintf(stdout, "listening\n");
    std::fflush(stdout);

    // The viewers, each answered once its request is in.
    static const char kHead[] = "HTTP/1.0 200 OK\r\nContent-Type: video/x-ms-asf\r\n\r\n";
    std::vector<int> sockets;
    while (static_cast<int>(sockets.size()) < viewers) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        char request[4096];
        if (recv(fd, request, sizeof request, 0) <= 0 ||
            send(fd, kHead, sizeof kHead - 1, MSG_NOSIGNAL) < 0) {
            close(fd);
            continue;
        }
        sockets.push_back(fd);
    }
    std::fprintf(stdout, "serving\n");
    std::fflush(stdout);

    // A picture's bytes to every viewer, at the picture rate.
    std::vector<char> picture(static_cast<std::size_t>(bytesPerSecond / fps), 'x');
    const auto period = std::chrono::microseconds(1000000 / fps);
    auto due = std::chrono::steady_clock::now();
    for (;;) {
        for (const int fd : sockets) {
            iovec part{picture.data(), picture.size()};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        due += period;
        std::this_thread::sleep_until(due);
    }
}
