#pragma once

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QWidget>

using namespace torvane::client;

// Drives a shown dialog the way a user does: by control name, mouse and keyboard.
class DialogDriver {
public:
    explicit DialogDriver(QWidget* dialog) : m_dialog(dialog) {}

    template <class T = QWidget> T* get(const char* name) const {
        T* widget = m_dialog->findChild<T*>(QLatin1String(name));
        if (!widget)
            qFatal("no control named %s", name);
        return widget;
    }

    void click(const char* name) const {
        QWidget* widget = get(name);
        if (auto* box = qobject_cast<QCheckBox*>(widget)) {
            // A check box reacts only on its box and caption, not on the rest of its cell.
            QStyleOptionButton option;
            option.initFrom(box);
            option.text = box->text();
            const QRect area =
                box->style()->subElementRect(QStyle::SE_CheckBoxClickRect, &option, box);
            QTest::mouseClick(box, Qt::LeftButton, {}, area.center());
            return;
        }
        QTest::mouseClick(widget, Qt::LeftButton);
    }

    // Types into a field after selecting what it holds; characters beyond Latin-1 arrive as
    // key events carrying only their text, as an input method delivers them.
    void type(const char* name, const QString& text) const {
        auto* field = get<QLineEdit>(name);
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Delete);
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text.at(i).unicode() < 0x80) {
                QTest::keyClick(field, text.at(i).toLatin1());
                continue;
            }
            // A character outside the BMP arrives whole, both halves in one event.
            const qsizetype length = text.at(i).isHighSurrogate() ? 2 : 1;
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, text.mid(i, length),
                                Qt::NoModifier);
            i += length - 1;
        }
    }

    // Picks an entry of a drop-down list through its pop-up, as a mouse user does.
    void pick(const char* name, int index) const {
        auto* combo = get<QComboBox>(name);
        combo->showPopup();
        QAbstractItemView* view = combo->view();
        const QRect rect = view->visualRect(view->model()->index(index, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    }

    QString text(const char* name) const { return get<QLineEdit>(name)->text(); }

    // The control that holds the keyboard focus inside the dialog.
    QString focusName() const {
        QWidget* focus = m_dialog->focusWidget();
        return focus ? focus->objectName() : QString();
    }

    // The controls Tab visits, starting from the one that has the focus when the dialog opens.
    QStringList tabOrder() const {
        QStringList names;
        for (QWidget* focus = m_dialog->focusWidget();
             focus && !names.contains(focus->objectName()); focus = m_dialog->focusWidget()) {
            names.append(focus->objectName());
            QTest::keyClick(focus, Qt::Key_Tab);
        }
        return names;
    }

private:
    QWidget* m_dialog;
};
