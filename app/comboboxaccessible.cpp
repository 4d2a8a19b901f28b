#include "comboboxaccessible.h"

#include <QAbstractItemView>
#include <QComboBox>

namespace {

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className != QLatin1String("QComboBox") || !object || !object->isWidgetType())
        return nullptr;
    auto *box = static_cast<QComboBox *>(object);
    return box->isEditable() ? nullptr : new ComboBoxAccessible(box);
}

} // namespace

ComboBoxAccessible::ComboBoxAccessible(QComboBox *box)
    : QAccessibleWidget(box, QAccessible::ComboBox)
{ }

void ComboBoxAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
}

QComboBox *ComboBoxAccessible::comboBox() const
{
    return static_cast<QComboBox *>(widget());
}

QString ComboBoxAccessible::text(QAccessible::Text t) const
{
    switch (t) {
    case QAccessible::Name:
        // The label's name; a list without one falls back to the widget's own words.
        if (!comboBox()->accessibleName().isEmpty())
            return comboBox()->accessibleName();
        return QAccessibleWidget::text(t);
    case QAccessible::Value:
        return comboBox()->currentText();
    default:
        return QAccessibleWidget::text(t);
    }
}

int ComboBoxAccessible::childCount() const
{
    return comboBox()->view() ? 1 : 0;
}

QAccessibleInterface *ComboBoxAccessible::child(int index) const
{
    if (index != 0 || !comboBox()->view())
        return nullptr;
    return QAccessible::queryAccessibleInterface(comboBox()->view());
}

int ComboBoxAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    return child && comboBox()->view() && child->object() == comboBox()->view() ? 0 : -1;
}

QStringList ComboBoxAccessible::actionNames() const
{
    return {showMenuAction(), pressAction()};
}

void ComboBoxAccessible::doAction(const QString &actionName)
{
    if (actionName != showMenuAction() && actionName != pressAction())
        return;
    if (comboBox()->view()->isVisible())
        comboBox()->hidePopup();
    else
        comboBox()->showPopup();
}
