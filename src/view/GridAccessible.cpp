#include "view/GridAccessible.h"

#include "doc/RondoDoc.h"
#include "view/GridButtons.h"
#include "view/RondoView.h"

#include <QAccessibleWidget>

namespace {

class CGridButtonAccessible final : public QAccessibleWidget
{
public:
    CGridButtonAccessible(QAbstractButton* pButton, QAccessible::Role role) : QAccessibleWidget(pButton, role) {}

    QString text(QAccessible::Text t) const override
    {
        const CRondoView* pView = View();
        if (t != QAccessible::Name || pView == nullptr) return QAccessibleWidget::text(t);
        if (const auto* pCell = dynamic_cast<const CBeatCell*>(widget()))
            return pView->CellAccessibleName(pCell->Voice(), pCell->Beat());
        if (const auto* pVoice = dynamic_cast<const CVoiceButton*>(widget())) return pView->VoiceAccessibleName(pVoice->Voice());
        if (const auto* pSwitch = dynamic_cast<const CVoiceSwitch*>(widget()))
            return pView->SwitchAccessibleName(pSwitch->Voice(), pSwitch->SwitchKind());
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        const CRondoView* pView = View();
        if (const auto* pCell = dynamic_cast<const CBeatCell*>(widget()); pCell && pView) {
            s.checkable = true;
            s.checked = pView->GetDocument().IsCellOn(pCell->Voice(), pCell->Beat());
        } else if (const auto* pSwitch = dynamic_cast<const CVoiceSwitch*>(widget())) {
            s.checkable = true;
            s.checked = pSwitch->isChecked();
        }
        return s;
    }

    QStringList actionNames() const override { return QAccessibleWidget::actionNames() << pressAction(); }

    void doAction(const QString& name) override
    {
        if (name == pressAction()) static_cast<QAbstractButton*>(widget())->animateClick();
        else QAccessibleWidget::doAction(name);
    }

private:
    const CRondoView* View() const { return qobject_cast<const CRondoView*>(widget()->parentWidget()); }
};

QAccessibleInterface* GridFactory(const QString&, QObject* pObject)
{
    if (auto* pCell = dynamic_cast<CBeatCell*>(pObject)) return new CGridButtonAccessible(pCell, QAccessible::CheckBox);
    if (auto* pVoice = dynamic_cast<CVoiceButton*>(pObject)) return new CGridButtonAccessible(pVoice, QAccessible::Button);
    if (auto* pSwitch = dynamic_cast<CVoiceSwitch*>(pObject)) return new CGridButtonAccessible(pSwitch, QAccessible::CheckBox);
    return nullptr;
}

} // namespace

void InstallGridAccessibility()
{
    static const bool bInstalled = [] {
        QAccessible::installFactory(&GridFactory);
        return true;
    }();
    (void)bInstalled;
}
