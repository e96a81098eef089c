#pragma once

// A "server" on 127.0.0.1 that completes the TCP handshake and then never says a word: not
// even the SSH banner. The kernel accepts connections into the listen queue, so nothing
// needs to run. Real servers cannot be made to do this reliably.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class SilentSshServer
{
public:
    SilentSshServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
            ::listen(m_fd, 16) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            return;
        }
        m_port = ntohs(a.sin_port);
    }
    ~SilentSshServer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentSshServer(const SilentSshServer &) = delete;
    SilentSshServer &operator=(const SilentSshServer &) = delete;

    // 0 when the socket could not be set up.
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};
