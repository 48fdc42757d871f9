#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

namespace torvane::server {

// How the connection hub learns which of its sockets are ready, without one Qt notifier per
// socket in the GUI loop. Each OS brings its own mechanism behind this interface; the hub only
// watches descriptors, changes what it waits for, and collects what is ready when told to.
//
// Level-triggered: a descriptor that is still ready after a collect is reported again, so the
// hub may handle a bounded number of events per pass and leave the rest for the next one.
class HubEventBackend : public QObject {
    Q_OBJECT
public:
    // What the hub waits for on a descriptor (a bit set; 0 watches nothing but keeps the entry).
    enum Interest : quint32 { WantRead = 0x1, WantWrite = 0x2 };
    // What collect() reports (a bit set).
    enum Readiness : quint32 { Readable = 0x1, Writable = 0x2, PeerClosed = 0x4, Failed = 0x8 };
    struct Event {
        qintptr descriptor = -1;
        quint32 readiness = 0;
    };

    using QObject::QObject;
    ~HubEventBackend() override = default;

    virtual QString name() const = 0;
    // False when the mechanism could not be set up; nothing can be watched then.
    virtual bool isValid() const = 0;
    virtual bool watch(qintptr descriptor, quint32 interest) = 0;
    virtual bool change(qintptr descriptor, quint32 interest) = 0;
    // Before the descriptor is closed.
    virtual void unwatch(qintptr descriptor) = 0;
    // Fills at most `max` events without waiting; returns how many.
    virtual int collect(Event* events, int max) = 0;

signals:
    // Something watched is ready: the hub collects from its handler. Emitted from the event
    // loop, never from inside watch/change/unwatch/collect.
    void ready();
};

enum class HubBackendKind {
    Default,    // the best one this OS has
    Epoll,      // Linux
    Poll,       // portable: poll() here, WSAPoll on Windows, one notifier per socket
    PollThread, // portable: one poll set in a thread of its own (the Windows default)
};

// The backends this build has, best first.
QList<HubBackendKind> AvailableHubBackends();
QString HubBackendName(HubBackendKind kind);
// nullptr when the kind is not available in this build.
std::unique_ptr<HubEventBackend>
CreateHubEventBackend(HubBackendKind kind = HubBackendKind::Default, QObject* parent = nullptr);

} // namespace torvane::server
