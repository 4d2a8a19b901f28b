#pragma once

#include <QAccessibleWidget>

class QComboBox;

// What screen readers see of the window's lists. Qt's own interface for a combo box names it
// by its chosen text on Linux (the label is left to a relation that not every reader follows),
// so a list would lose its label's name as soon as something is chosen. Here the label stays
// the name and the chosen text is the value, as for every other field; the open list is the
// one child, and the actions open and close it.
class ComboBoxAccessible : public QAccessibleWidget
{
public:
    explicit ComboBoxAccessible(QComboBox *box);

    // Registers the factory that hands this interface out for the lists that are not
    // editable; safe to call more than once.
    static void install();

    QComboBox *comboBox() const;

    QString text(QAccessible::Text t) const override;
    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QStringList actionNames() const override;
    void doAction(const QString &actionName) override;
    QStringList keyBindingsForAction(const QString &) const override { return {}; }
};
