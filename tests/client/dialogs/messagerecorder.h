#pragma once

#include "client/dialogkit.h"

#include <QList>

using namespace torvane;
using namespace torvane::client;

// Captures every message box instead of showing it, and answers with the next queued button
// (OK, or Yes for a Yes/No question, when nothing is queued).
class MessageRecorder {
public:
    MessageRecorder() {
        SetDialogMessageHook([this](QWidget*, const DialogMessage& message) {
            m_messages.append(message);
            if (!m_answers.isEmpty())
                return m_answers.takeFirst();
            return (message.buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
        });
    }
    ~MessageRecorder() { SetDialogMessageHook({}); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QString lastText() const { return m_messages.isEmpty() ? QString() : m_messages.last().text; }
    QStringList texts() const {
        QStringList result;
        for (const DialogMessage& message : m_messages)
            result.append(message.text);
        return result;
    }

    QList<DialogMessage> m_messages;
    QList<QMessageBox::StandardButton> m_answers;
};
