#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QStringList>

class AdapterNetns;

// The Linux adapter for real, inside network namespaces that each test creates and deletes.
class TestAdapterE2e : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void inspectShowsAdapterGatewayAndDns_data();
    void inspectShowsAdapterGatewayAndDns();
    void inspectWithoutIpv4Adapter();
    void withoutDefaultRoute();
    void switchKeepsAddressWhenLocalIpEmpty_data();
    void switchKeepsAddressWhenLocalIpEmpty();
    void switchChangesAddressAndMask_data();
    void switchChangesAddressAndMask();
    void refusedSwitchChangesNothing_data();
    void refusedSwitchChangesNothing();
    void virtualAdapterListedFirstDoesNotBlock();
    void otherAdaptersDefaultRouteSurvives();
    void symlinkedResolverFile_data();
    void symlinkedResolverFile();
    void failedInPlaceRewriteKeepsOldFile();
    void unprivilegedSwitchIsRefused_data();
    void unprivilegedSwitchIsRefused();

private:
    struct Probe {
        int exitCode = -1;
        QMap<QString, QString> values;
        QByteArray stdErr;
    };
    Probe probe(AdapterNetns& ns, const QStringList& args, const QStringList& prefix = {});
    Probe switchTo(AdapterNetns& ns, const QString& localIp, const QString& mask,
                   const QString& gateway, const QString& dns1, const QString& dns2,
                   const QStringList& prefix = {}, const QString& resolverPath = {});

    QByteArray m_hostResolver;
};
