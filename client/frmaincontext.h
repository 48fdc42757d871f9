#pragma once

#include "client/clientcontext.h"

namespace torvane::client {

class FrMain;

// The main window as the dialogs see it.
class FrMainContext : public ClientContext {
    Q_OBJECT
public:
    explicit FrMainContext(FrMain& main);

    QString lineFilePath() const override;
    ClientSettings& settings() override;
    SelectedLine& selectedLine() override;
    void reloadLineList() override;
    void reconnect() override;
    QString autostartFolder() const override;

private:
    FrMain& m_main;
};

} // namespace torvane::client
