// A listening socket on 127.0.0.1 that never accepts by itself: the kernel
// completes the connections (as many as `backlog` holds; past that it drops
// them), and a request sent there gets no answer until its owner accepts and
// answers it. It needs nothing but the system's headers.
#ifndef OVX_TESTS_SUPPORT_LISTENER_H
#define OVX_TESTS_SUPPORT_LISTENER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class Listener {
public:
    explicit Listener(int backlog = 128) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(fd, backlog) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }  // nothing when there is no socket (-1)
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;  // 0 when it could not listen
};

#endif  // OVX_TESTS_SUPPORT_LISTENER_H
