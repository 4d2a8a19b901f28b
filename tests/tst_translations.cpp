#include <QFileInfo>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "translations.h"

// Qt's own texts (standard buttons, the text fields' context menus) speak the interface
// language once its translations are loaded.
class TestTranslations : public QObject
{
    Q_OBJECT
private slots:
    void standardTextsAreChinese();
};

void TestTranslations::standardTextsAreChinese()
{
    const QString file
        = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_zh_CN.qm");
    if (!QFileInfo::exists(file)) {
        // Without the files English stays, and loading says so without failing.
        QVERIFY(!installQtTranslations(*qApp));
        QSKIP("Qt's Chinese translations are not installed (qt6-translations-l10n)");
    }
    QVERIFY(installQtTranslations(*qApp));

    QMessageBox box(QMessageBox::Information, QStringLiteral("Korvia"), QStringLiteral("x"),
                    QMessageBox::Ok);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));

    QLineEdit field(QStringLiteral("0x05"));
    std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << action->text();
    QVERIFY2(texts.join(u' ').contains(QStringLiteral("复制")), qPrintable(texts.join(u',')));
}

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
