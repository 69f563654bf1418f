// zendral-floor: the benchmark's reference for what a durable queue with a
// folder and a file per job can reach on this machine (see FloorServer).
// Takes beanstalkd's options as the benchmark gives them:
//   zendral-floor -l ADDRESS -p PORT -b FOLDER
#include "FloorServer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    std::string address = "127.0.0.1";
    std::string root;
    long port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "-l") == 0)
            address = argv[i + 1];
        else if (std::strcmp(argv[i], "-p") == 0)
            port = std::strtol(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "-b") == 0)
            root = argv[i + 1];
    }
    if (root.empty() || port < 0 || port > 65535 || argc % 2 != 1) {
        std::fprintf(stderr, "usage: zendral-floor -l ADDRESS -p PORT -b FOLDER\n");
        return 64;
    }
    Orvane::Zendral::Floor::FloorServer server(root);
    return server.Run(address, uint16_t(port)) ? 0 : 1;
}
