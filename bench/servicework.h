// The stand-in service's own share of a figure, measured in-process apart from any socket: what
// the service does with one request frame once it has read it (parse, record, answer through the
// simulated devices, write the envelope). It shows whether the stand-in, not the library, is
// what a figure measures.
#pragma once

#include "framesource.h"
#include "simulator.h"

#include <QByteArray>
#include <QSharedMemory>
#include <QString>

#include <memory>

namespace bench {

class ServiceWork {
public:
    // The reply frame (with its terminator) that the service would write for `frame`.
    QByteArray answer(const QByteArray& frame);

    // A request frame for `type` with `body`, as the library writes it.
    static QByteArray requestFrame(const QString& type, const QJsonValue& body);

    // A "processframe" request whose segment holds `frame` for the life of this object, so that
    // answering it attaches, scans and detaches as the service does.
    QByteArray frameRequest(const SyntheticFrame& frame, const QString& device);

private:
    omnivue::DeviceSimulator simulator_;
    QByteArray recorded_;
    std::unique_ptr<QSharedMemory> segment_;
};

}  // namespace bench
