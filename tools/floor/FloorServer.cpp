#include "FloorServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace Orvane {
namespace Zendral {
namespace Floor {

namespace {
// beanstalkd's own default limit of a job's size.
constexpr size_t MaxDocument = 65535;
constexpr size_t ReadChunk = 64 * 1024;

bool MakeFolder(const std::string &path)
{
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool SendAll(int connection, const std::string &text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

std::string PeerAddress(int connection)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    char text[INET_ADDRSTRLEN] = "unknown";
    if (getpeername(connection, reinterpret_cast<sockaddr *>(&peer), &length) == 0)
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return text;
}

// "put <pri> <delay> <ttr> <bytes>": the document's size, or -1.
long PutSize(const std::string &line)
{
    unsigned long priority = 0, delay = 0, ttr = 0, bytes = 0;
    char end = 0;
    if (std::sscanf(line.c_str(), "put %lu %lu %lu %lu%c", &priority, &delay, &ttr, &bytes, &end) != 4)
        return -1;
    return bytes <= MaxDocument ? long(bytes) : -1;
}
} // namespace

FloorServer::FloorServer(const std::string &root)
    : root(root)
{
}

bool FloorServer::Run(const std::string &address, uint16_t port)
{
    if (!MakeFolder(root) || !MakeFolder(root + "/JOBS") || !journal.Open(root + "/JOBS/JOURNAL")) {
        std::perror(root.c_str());
        return false;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    const int reuse = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    socklen_t length = sizeof local;
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1
        || bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || listen(listener, 128) != 0
        || getsockname(listener, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        std::perror("zendral-floor: listen");
        return false;
    }
    std::printf("listening on %s:%u\n", address.c_str(), unsigned(ntohs(local.sin_port)));
    std::fflush(stdout);
    for (;;) {
        const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0)
            std::thread(&FloorServer::Serve, this, connection).detach();
    }
}

void FloorServer::Serve(int connection)
{
    const int noDelay = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    const std::string clientFolder = root + "/JOBS/" + PeerAddress(connection);
    std::string buffer;
    bool open = MakeFolder(clientFolder);
    while (open) {
        const size_t lineEnd = buffer.find("\r\n");
        const long size = lineEnd == std::string::npos ? -2 : PutSize(buffer.substr(0, lineEnd));
        if (size == -1) {
            SendAll(connection, "BAD_FORMAT\r\n");
            open = false;
        } else if (size >= 0 && buffer.size() >= lineEnd + 2 + size_t(size) + 2) {
            open = SendAll(connection, Put(clientFolder, buffer.data() + lineEnd + 2, size_t(size)));
            buffer.erase(0, lineEnd + 2 + size_t(size) + 2);
        } else {
            char chunk[ReadChunk];
            const ssize_t n = recv(connection, chunk, sizeof chunk, 0);
            open = n > 0 && buffer.size() < MaxDocument + ReadChunk;
            if (open)
                buffer.append(chunk, size_t(n));
        }
    }
    close(connection);
}

std::string FloorServer::Put(const std::string &clientFolder, const char *document, size_t size)
{
    const uint64_t id = nextJob++;
    const std::string folder = clientFolder + '/' + std::to_string(id);
    const std::string path = folder + "/job.aex";
    const int file = MakeFolder(folder) ? open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600) : -1;
    const bool written = file >= 0 && write(file, document, size) == ssize_t(size);
    if (file >= 0)
        close(file);
    if (!written || !journal.Append(document, size))
        return "INTERNAL_ERROR\r\n";
    return "INSERTED " + std::to_string(id) + "\r\n";
}

} // namespace Floor
} // namespace Zendral
} // namespace Orvane
