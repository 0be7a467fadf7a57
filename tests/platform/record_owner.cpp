// Plays the owner of an announcement record in a process of its own, driven line by line:
//   record_owner <appName> <percent-encoded value> [--no-ready]
// Prints "created" (it made the record) or "attached" (one existed), then signals readiness
// unless --no-ready is given. Commands on stdin: "ready" (answers "ready"), "read" (answers
// "value:" and the value, or "error:" and the failure), "quit" or the end of input (orderly
// end), "crash" (ends at once, without releasing anything).
#include "singleappinstance.h"

#include <QUrl>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    quarn::tellan_api::SingleAppInstance instance(QString::fromUtf8(argv[1]),
                                                  QUrl::fromPercentEncoding(argv[2]));
    std::cout << (instance.isPrimary() ? "created" : "attached") << std::endl;
    if (argc == 3)
        instance.signalReady();
    for (std::string command; std::getline(std::cin, command) && command != "quit";) {
        if (command == "ready") {
            instance.signalReady();
            std::cout << "ready" << std::endl;
        } else if (command == "read") {
            try {
                std::cout << "value:" << instance.readValue().toStdString() << std::endl;
            } catch (const std::runtime_error& e) {
                std::cout << "error:" << e.what() << std::endl;
            }
        } else if (command == "crash") {
            std::_Exit(9);
        }
    }
    return 0;
}
