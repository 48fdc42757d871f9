#pragma once

#include "client/adapter/fakeadapter.h"
#include "client/clientcontroller.h"
#include "client/fakeautostart.h"
#include "client/fakelineprober.h"
#include "client/serverlink.h"
#include "common/gbk.h"
#include "common/regstore.h"

#include <QFile>
#include <QList>
#include <QPair>
#include <QSignalSpy>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

using namespace torvane;
using namespace torvane::client;

// A controller on a FakeAdapter, a FakeAutostart and a FakeLineProber in its own program folder,
// with the messages it asks the windows to show recorded.
struct ControllerFixture {
    QTemporaryDir dir;
    FakeAdapter* adapter = nullptr;     // owned by the controller
    FakeAutostart* autostart = nullptr; // owned by the controller
    FakeLineProber* prober = nullptr;   // owned by the controller
    std::unique_ptr<ClientController> controller;
    QList<QPair<QString, QString>> messages;
    int connectAttempts = 0;

    explicit ControllerFixture(const NetworkParams& params, bool guard = false,
                               int switchSpacingMs = ClientControllerOptions().switchSpacingMs,
                               const QString& programDir = QString(),
                               const std::function<void(ClientControllerOptions&)>& tune = {}) {
        auto fake = std::make_unique<FakeAdapter>();
        fake->setParams(params);
        adapter = fake.get();
        auto entry = std::make_unique<FakeAutostart>();
        autostart = entry.get();
        ClientControllerOptions options;
        options.useInstanceGuard = guard;
        options.adapter = std::move(fake);
        options.autostart = std::move(entry);
        options.programDir = programDir.isEmpty() ? dir.path() : programDir;
        options.programPath = dir.filePath(QStringLiteral("Client"));
        options.switchSpacingMs = switchSpacingMs;
        // Tests never probe the machine's real network.
        auto probes = std::make_unique<FakeLineProber>();
        prober = probes.get();
        options.prober = std::move(probes);
        if (tune)
            tune(options);
        controller = std::make_unique<ClientController>(std::move(options));
        QObject::connect(controller.get(), &ClientController::messageRequested,
                         [this](const QString& title, const QString& text) {
                             messages.append({title, text});
                         });
        QObject::connect(&controller->link(), &ServerLink::connecting,
                         [this] { ++connectAttempts; });
    }

    QString linePath() const { return controller->lineFilePath(); }

    void writeLineFile(const QString& text) const {
        QFile file(linePath());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(ToGbk(text));
    }

    QByteArray lineFileBytes() const {
        QFile file(linePath());
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

    // Runs the selected line's switch and waits for its end; false when none ended.
    bool switchAndWait() {
        QSignalSpy finished(controller.get(), &ClientController::switchFinished);
        controller->runSwitch();
        return finished.wait(5000);
    }
};

inline NetworkParams Params(const QString& gateway, const QStringList& dns,
                            const QString& localIp = QStringLiteral("10.0.0.7")) {
    NetworkParams params;
    params.hostName = QStringLiteral("ws01");
    params.adapterName = QStringLiteral("eth0");
    params.localIp = localIp;
    params.subnetMask = QStringLiteral("255.255.255.0");
    params.gateway = gateway;
    params.dnsServers = dns;
    return params;
}

// Each test starts from a settings store that does not exist (or an empty registry key).
inline void ClearSettings() {
    ClearRegStore(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey));
}

inline QString Setting(const char* name) {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         QString::fromLatin1(name));
}

inline void SetSetting(const char* name, const QString& text) {
    WriteRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                   QString::fromLatin1(name), text);
}
