#pragma once

#include "client/frmain.h"
#include "tests/client/controllerfixture.h"

#include <QList>
#include <QPair>
#include <QString>

#include <memory>

// The main window over a controller fixture, with the message boxes it would show recorded.
struct WindowFixture : ControllerFixture {
    QList<QPair<QString, QString>> shown;
    std::unique_ptr<FrMain> window; // destroyed before the controller

    explicit WindowFixture(const NetworkParams& params, bool guard = false)
        : ControllerFixture(params, guard) {
        FrMainOptions options;
        options.messageHook = [this](const QString& title, const QString& text) {
            shown.append({title, text});
        };
        window = std::make_unique<FrMain>(*controller, std::move(options));
    }
};
