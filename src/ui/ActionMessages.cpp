#include "ActionMessages.h"

#include "GroupedForm.h"
#include "StatusPresentation.h"
#include "Symbols.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QLabel* messageLabel(const QString& text, Tint tint) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long word (a path, a token in an error) must not widen a window of fixed width.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextTint(label, tint);
    return label;
}

} // namespace

void addMessageSection(GroupedForm& form, const QString& text, Tint tint) {
    form.addSection()->addWidget(messageLabel(text, tint));
}

void addErrorSections(GroupedForm& form, AppState& state) {
    if (const std::optional<QString>& unreachable = state.connectivityError())
        addMessageSection(form, *unreachable, Tint::red);
    const std::optional<QString>& failure = state.lastError();
    if (!failure)
        return;
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(messageLabel(*failure, Tint::red), 1, Qt::AlignTop);
    auto* dismiss = new QToolButton;
    dismiss->setAutoRaise(true);
    dismiss->setIcon(symbolIcon(QStringLiteral("xmark.circle.fill"), tintColor(Tint::secondary)));
    dismiss->setToolTip(QStringLiteral("Dismiss"));
    dismiss->setAccessibleName(QStringLiteral("Dismiss"));
    QObject::connect(dismiss, &QToolButton::clicked, &state,
                     [&state] { state.setLastError(std::nullopt); });
    layout->addWidget(dismiss, 0, Qt::AlignTop);
    form.addSection()->addWidget(row);
}

QComboBox* makeProviderPicker() {
    auto* picker = new QComboBox;
    for (const char* key : {ProviderKey::m365, ProviderKey::gmail})
        picker->addItem(providerDisplayName(QLatin1String(key)), QLatin1String(key));
    return picker;
}

QDialog* openTestEmailPrompt(QWidget* parent, AppState& state, const QString& recipient) {
    auto* prompt = new QDialog(parent);
    prompt->setAttribute(Qt::WA_DeleteOnClose);
    prompt->setWindowModality(Qt::WindowModal);
    prompt->setWindowTitle(QStringLiteral("Send test email"));
    applyBrandTint(prompt);
    auto* layout = new QVBoxLayout(prompt);
    auto* message = new QLabel(QStringLiteral(
        "The relay sends a short message through your provider, exactly as a scan would go."));
    message->setWordWrap(true);
    layout->addWidget(message);
    auto* field = new QLineEdit(recipient);
    field->setPlaceholderText(QStringLiteral("Recipient"));
    layout->addWidget(field);
    auto* buttons = new QDialogButtonBox;
    QPushButton* send = buttons->addButton(QStringLiteral("Send"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    send->setDefault(true);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, prompt, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, prompt, &QDialog::reject);
    // The recipient goes exactly as typed; the model reports the outcome.
    QObject::connect(prompt, &QDialog::accepted, &state,
                     [&state, field] { state.sendTestEmail(field->text()); });
    prompt->open();
    return prompt;
}
