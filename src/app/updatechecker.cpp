#include "app/updatechecker.h"

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Closes the socket on every way out of the query.
class SocketGuard
{
public:
    explicit SocketGuard(int fd) : fd(fd) {}
    ~SocketGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

    const int fd;
};

// The request: the character "2" followed by a zero byte.
constexpr char request[2] = {'2', '\0'};

// The reply is read as a zero-terminated text of at most this many bytes.
constexpr int maxReplyBytes = 31;

} // namespace

UpdateChecker::UpdateChecker(const QByteArray& host, quint16 port, int receiveTimeoutMs)
    : host(host)
    , port(port)
    , receiveTimeoutMs(receiveTimeoutMs)
{
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    const SocketGuard socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (socket.fd < 0)
        return false;

    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    sockaddr_in server {};
    std::memcpy(&server, found->ai_addr, sizeof server);
    ::freeaddrinfo(found);
    server.sin_port = htons(port);

    // A connected datagram socket only receives from the server's address
    // and port; anybody else on the network could otherwise answer first and
    // choose the version we update to.
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
        return false;

    ssize_t sent;
    do {
        sent = ::send(socket.fd, request, sizeof request, 0);
    } while (sent < 0 && errno == EINTR);
    if (sent <= 0)
        return false;

    // A zero timeout would mean waiting forever.
    const int timeoutMs = receiveTimeoutMs > 0 ? receiveTimeoutMs : 1;
    timeval timeout {};
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    if (::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return false;

    char buffer[maxReplyBytes + 1];
    ssize_t received;
    do {
        received = ::recv(socket.fd, buffer, maxReplyBytes, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return false;
    buffer[received] = '\0';

    // Split like strtok(): runs of commas are one separator, empty pieces
    // are skipped, pieces after the third are ignored.
    QByteArray* const fields[] = {&stableVersion, &betaVersion, &alphaVersion};
    int field = 0;
    const char* p = buffer;
    while (*p && field < 3) {
        while (*p == ',')
            ++p;
        const char* start = p;
        while (*p && *p != ',')
            ++p;
        if (p > start)
            *fields[field++] = QByteArray(start, p - start);
    }
    return true;
}
