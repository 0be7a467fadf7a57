// Windows: no console signals are watched yet; the service ends through the control channel
// ("quit") or when it is killed.
#include "termination.h"

#include <cstdlib>

namespace omnivue {

struct TerminationWatcher::Private {};

TerminationWatcher::TerminationWatcher(QObject* parent)
    : QObject(parent), d(std::make_unique<Private>()) {}

TerminationWatcher::~TerminationWatcher() = default;

bool TerminationWatcher::install(QString*) {
    return true;
}

void TerminationWatcher::watchInputEnd() {}

void crashProcess() {
    std::abort();
}

}  // namespace omnivue
