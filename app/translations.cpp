#include "translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool installQtTranslations(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    // qtbase_zh_CN covers the message box buttons, the text fields' context menus and the
    // other dialogs of Qt's widgets.
    if (!translator->load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}
