#pragma once

#include "client/adapter/fakeadapter.h"
#include "client/frmain.h"
#include "common/gbk.h"
#include "common/regstore.h"

#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryDir>

#include <memory>

using namespace torvane;
using namespace torvane::client;

// A main window on a FakeAdapter in its own program folder, with message boxes recorded.
struct ClientUnderTest {
    QTemporaryDir dir;
    FakeAdapter* adapter = nullptr; // owned by the window
    QList<QPair<QString, QString>> messages;
    std::unique_ptr<FrMain> window;

    explicit ClientUnderTest(const NetworkParams& params, bool guard = false) {
        auto fake = std::make_unique<FakeAdapter>();
        fake->setParams(params);
        adapter = fake.get();
        FrMainOptions options;
        options.useInstanceGuard = guard;
        options.adapter = std::move(fake);
        options.programDir = dir.path();
        options.autostartFolder = dir.filePath(QStringLiteral("autostart"));
        options.messageHook = [this](const QString& title, const QString& text) {
            messages.append({title, text});
        };
        window = std::make_unique<FrMain>(std::move(options));
    }

    QString linePath() const { return window->lineFilePath(); }

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

// Each test starts from a settings file that does not exist.
inline void ClearSettings() {
    QFile::remove(RegStoreFilePath(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey)));
}

inline QString Setting(const char* name) {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         QString::fromLatin1(name));
}

inline void SetSetting(const char* name, const QString& text) {
    WriteRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                   QString::fromLatin1(name), text);
}
