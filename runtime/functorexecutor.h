// FunctorExecutor: a QObject whose one slot, `execute`, runs a function object in the object's
// thread. post() queues an event of the executor's own that has `execute` run a function object:
// how work reaches the API thread. Functor is registered with Qt's meta-type system under its
// name, as the slot's argument type, though the calls never copy it through Qt (post() says why).
#pragma once

#include <QMetaType>
#include <QObject>

#include <functional>

class FunctorExecutor : public QObject {
    Q_OBJECT
public:
    using Functor = std::function<void()>;

    explicit FunctorExecutor(QObject* parent = nullptr);

    // Queues `f` to run in the executor's thread; callable from any thread.
    void post(Functor f);

protected:
    bool event(QEvent* e) override;

public slots:
    void execute(FunctorExecutor::Functor f);
};

Q_DECLARE_METATYPE(FunctorExecutor::Functor)
