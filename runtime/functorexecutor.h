// FunctorExecutor: a QObject whose one slot runs a function object in the object's thread.
// Posting to `execute` with a queued connection is how work reaches the API thread.
#pragma once

#include <QMetaType>
#include <QObject>

#include <functional>

class FunctorExecutor : public QObject {
    Q_OBJECT
public:
    using Functor = std::function<void()>;

    // Also registers "FunctorExecutor::Functor" with the meta-type system, once per process.
    explicit FunctorExecutor(QObject* parent = nullptr);

    // Queues a copy of `f` to run in the executor's thread; callable from any thread.
    void post(const Functor& f);

public slots:
    void execute(FunctorExecutor::Functor f);
};

Q_DECLARE_METATYPE(FunctorExecutor::Functor)
