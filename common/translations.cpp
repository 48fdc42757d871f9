#include "common/translations.h"

#include "common/logging.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace torvane {

namespace {
const QString kQtTranslation = QStringLiteral("qtbase_zh_CN");
} // namespace

bool InstallQtTranslation(const QString& folder) {
    auto* app = QCoreApplication::instance();
    if (!app)
        return false;
    const QString from =
        folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : folder;
    auto* translator = new QTranslator(app);
    if (!translator->load(kQtTranslation, from)) {
        qCInfo(lcTranslations).noquote()
            << "no" << kQtTranslation << "in" << from << "; standard buttons stay in English";
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

} // namespace torvane
