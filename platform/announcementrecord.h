// The announcement record, SingleAppInstance: lets one process of an application announce itself
// to others on the same machine through a small named shared-memory record holding one short
// text value. The service publishes its connection name in it; attach reads it.
//
// The first process that constructs it for an application name (the owner) creates the record
// and holds the readiness semaphore until signalReady(); later processes attach, wait in
// waitForPrimary() until the owner is ready, and read the value. The record disappears with its
// last holder, also where the operating system would keep a dead owner's segment.
#pragma once

#include <QString>

#include <memory>

namespace quarn::tellan_api {

class SingleAppInstance {
public:
    // Owner-capable: attaches to an existing record, or creates one holding `value` (cut to 100
    // UTF-16 code units; an empty value is published as "0").
    SingleAppInstance(const QString& appName, const QString& value);
    // Reader only: attaches when a record exists, never creates one.
    explicit SingleAppInstance(const QString& appName);
    ~SingleAppInstance();
    SingleAppInstance(const SingleAppInstance&) = delete;
    SingleAppInstance& operator=(const SingleAppInstance&) = delete;

    // True when no record existed at construction (this object created it, or none is there).
    bool isPrimary() const;
    // Why an owner-capable object found no record and could not create one (where the system
    // refuses it, as Windows does for a Global\ section without SeCreateGlobalPrivilege); empty
    // when it created or attached to one, and always for a reader.
    QString createError() const;
    // Blocks until the owner has called signalReady(); returns at once for the owner.
    void waitForPrimary();
    // The owner's "record is ready": lets waiting readers through.
    void signalReady();
    // The published value. Throws std::runtime_error "Single app instance not initiated",
    // "Single app instance wrong raw data size" or "Single app instance wrong data size".
    QString readValue();

private:
    class Private;
    std::unique_ptr<Private> d;
};

}  // namespace quarn::tellan_api
