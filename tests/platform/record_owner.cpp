// Plays the owner of an announcement record in a process of its own, driven line by line.
//
//   record_owner <appName> <percent-encoded value> [--no-ready]
//
// Constructs the owner-capable SingleAppInstance and prints "created" (it made the record) or
// "attached" (one existed). Unless --no-ready is given it then signals readiness. Commands on
// stdin: "ready" (signalReady, answers "ready"), "read" (answers "value:" + the value or
// "error:" + the failure text), "quit" or end of input (orderly end), "crash" (dies at once
// from SIGKILL, so nothing is detached or released).
#include "singleappinstance.h"

#include <QUrl>

#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

using quarn::tellan_api::SingleAppInstance;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: record_owner <appName> <value> [--no-ready]\n";
        return 2;
    }
    bool ready = true;
    for (int i = 3; i < argc; ++i)
        ready = ready && std::strcmp(argv[i], "--no-ready") != 0;

    SingleAppInstance instance(QString::fromUtf8(argv[1]), QUrl::fromPercentEncoding(argv[2]));
    std::cout << (instance.isPrimary() ? "created" : "attached") << std::endl;
    if (ready)
        instance.signalReady();

    std::string command;
    while (std::getline(std::cin, command) && command != "quit") {
        if (command == "ready") {
            instance.signalReady();
            std::cout << "ready" << std::endl;
        } else if (command == "read") {
            try {
                const std::string value = instance.readValue().toStdString();
                std::cout << "value:" << value << std::endl;
            } catch (const std::runtime_error& e) {
                std::cout << "error:" << e.what() << std::endl;
            }
        } else if (command == "crash") {
            std::raise(SIGKILL);
        }
    }
    return 0;
}
