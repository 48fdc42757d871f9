#include "client/frmaincontext.h"

#include "client/frmain.h"

namespace torvane::client {

FrMainContext::FrMainContext(FrMain& main) : ClientContext(&main), m_main(main) {
    connect(&main, &FrMain::lineListReloaded, this, &ClientContext::lineListReloaded);
}

QString FrMainContext::lineFilePath() const {
    return m_main.lineFilePath();
}

ClientSettings& FrMainContext::settings() {
    return m_main.settings();
}

SelectedLine& FrMainContext::selectedLine() {
    return m_main.selectedLine();
}

void FrMainContext::reloadLineList() {
    m_main.reloadLineList();
}

void FrMainContext::reconnect() {
    m_main.reconnect();
}

QString FrMainContext::autostartFolder() const {
    return m_main.autostartFolder();
}

} // namespace torvane::client
