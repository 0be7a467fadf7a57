// The library session that the per-call figures share. crop_assist_init starts the stand-in
// from the library's folder, as a host's init would, under a control channel name of our own;
// the service's socket name suffix is read from its announcement record, so that the baselines
// talk to the very same service process.
#pragma once

#include "controlclient.h"

#include <QString>

namespace bench {

class BenchSession {
public:
    static BenchSession& shared();

    // Names the control channel of the services that init starts outside a BenchSession, and
    // keeps the default cameras (no scenario from the environment).
    static void prepareEnvironment();

    // Starts the library unless it runs; false with `error` when it cannot.
    bool ensureStarted(QString* error);
    // crop_assist_exit, when running.
    void stop();

    const QString& suffix() const { return suffix_; }
    ControlClient& control() { return control_; }

private:
    bool running_ = false;
    QString suffix_;
    ControlClient control_;
};

}  // namespace bench
