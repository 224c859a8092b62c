#include "StatusView.h"

#include "ActionMessages.h"
#include "Appearance.h"
#include "DotLabel.h"
#include "GroupedForm.h"
#include "HeroCard.h"
#include "LogView.h"
#include "OnboardingView.h"
#include "ProminentButton.h"
#include "Rebuild.h"
#include "ServiceManager.h"
#include "SettingsCommand.h"
#include "SettingsLinkButton.h"
#include "Symbols.h"
#include "SystemSettings.h"

#include <QCloseEvent>
#include <QDialog>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QLabel* queueCountLabel(const DetailRow& row) {
    auto* label = new QLabel(row.value);
    setTextTint(label, row.emphasized ? Tint::accent : Tint::secondary);
    QFont font = label->font();
    font.setWeight(row.emphasized ? QFont::DemiBold : QFont::Normal);
    label->setFont(font);
    return label;
}

QWidget* detailValue(const DetailRow& row) {
    switch (row.kind) {
    case DetailRow::Value::greenDot:
        return new DotLabel(Tint::green, row.value);
    case DetailRow::Value::redDot:
        return new DotLabel(Tint::red, row.value);
    case DetailRow::Value::count:
        return queueCountLabel(row);
    case DetailRow::Value::text:
        break;
    }
    return new QLabel(row.value);
}

// A window-modal dialog over `parent`, as a sheet is on the Mac.
QDialog* makeSheet(QWidget* parent, const QString& title) {
    auto* sheet = new QDialog(parent);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(title);
    applyBrandTint(sheet);
    installSettingsShortcut(sheet);
    return sheet;
}

// The assistant is finished or postponed through its own buttons, never by Escape or the
// window's close button: it closes once the model no longer asks for it.
class OnboardingSheet : public QDialog {
public:
    OnboardingSheet(AppState& state, QWidget* parent)
        : QDialog(parent)
        , m_state(state) {
        setAttribute(Qt::WA_DeleteOnClose);
        setWindowModality(Qt::WindowModal);
        setWindowTitle(QStringLiteral("Welcome to Moxtrel"));
        applyBrandTint(this);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new OnboardingView(state));
        layout->setSizeConstraint(QLayout::SetFixedSize);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->matches(QKeySequence::Cancel))
            return;
        QDialog::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (m_state.showOnboarding())
            event->ignore();
        else
            QDialog::closeEvent(event);
    }

private:
    AppState& m_state;
};

} // namespace

StatusView::StatusView(AppState& state, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
    , m_rebuild(this, [this] { rebuild(); }) {
    setWindowTitle(QStringLiteral("Moxtrel"));
    setFixedWidth(contentWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    for (auto changed : {&AppState::daemonStatusChanged, &AppState::controlStatusChanged,
                         &AppState::connectivityErrorChanged, &AppState::infoMessageChanged,
                         &AppState::lastErrorChanged, &AppState::signingInChanged})
        connect(&m_state, changed, this, [this] { m_rebuild.schedule(); });
    connect(&m_state, &AppState::showOnboardingChanged, this, &StatusView::followOnboarding);
    // On the window, not on the button: the button is rebuilt with every change of the model.
    auto* viewLog = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this);
    connect(viewLog, &QShortcut::activated, this, &StatusView::openLog);
    rebuild();
}

StatusView::~StatusView() = default;

void StatusView::setTrayUnavailable(bool unavailable) {
    m_trayUnavailable = unavailable;
    m_rebuild.schedule();
}

void StatusView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_state.refresh();
    // The sheet needs its window on screen to attach to.
    QTimer::singleShot(0, this, &StatusView::followOnboarding);
}

void StatusView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        m_rebuild.schedule();
}

StatusView::Shown StatusView::shown() const {
    return {statusPhase(m_state.daemonStatus(), m_state.controlStatus()),
            m_state.daemonStatus() == ServiceStatus::enabled,
            m_state.controlStatus(),
            m_state.connectivityError(),
            m_state.infoMessage(),
            m_state.lastError(),
            m_state.signingIn(),
            m_trayUnavailable,
            palette().cacheKey()};
}

void StatusView::rebuild() {
    // Every poll notifies, mostly with what is already shown: building the window anew each time
    // would cost more than everything else the application does while it waits.
    Shown now = shown();
    if (now == m_shown)
        return;
    m_shown = std::move(now);
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    const StatusPhase phase = m_shown->phase;

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_form = new GroupedForm;
    column->addWidget(m_form);
    auto* buttonRow = new QWidget;
    m_buttons = new QHBoxLayout(buttonRow);
    m_buttons->setContentsMargins(20, 0, 20, 16);
    m_buttons->setSpacing(8);
    column->addWidget(buttonRow);

    auto* card = new HeroCard;
    card->setContent(heroCardContent(phase, status, m_state.connectivityError().has_value()));
    m_form->addSection()->addWidget(card);
    addSecondSection(phase);
    addMessageSections();
    rebuildButtons(phase);

    replaceContent(*this, m_content, content);
    fitHeightToContent();
}

void StatusView::fitHeightToContent() {
    QLayout* content = layout();
    content->activate();
    setFixedHeight(content->hasHeightForWidth() ? content->totalHeightForWidth(contentWidth)
                                                : content->totalSizeHint().height());
}

void StatusView::addSecondSection(StatusPhase phase) {
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    switch (secondSection(phase, status.has_value())) {
    case SecondSection::details: {
        FormSection* section = m_form->addSection();
        for (const DetailRow& row : detailRows(phase, *status))
            section->addRow(row.label, detailValue(row), row.tooltip);
        break;
    }
    case SecondSection::unreachableNote:
        addMessageSection(*m_form, QString::fromUtf8(unreachableNoteText), Tint::secondary);
        break;
    case SecondSection::none:
        break;
    }
}

void StatusView::addMessageSections() {
    if (const std::optional<QString>& info = m_state.infoMessage())
        addMessageSection(*m_form, *info, Tint::secondary);
    addErrorSections(*m_form, m_state);
    if (m_shown->trayNote)
        addMessageSection(*m_form,
                          QStringLiteral("This desktop has no tray for Moxtrel's icon, so "
                                         "everything it offers is in this window. Press Ctrl+Q to "
                                         "quit."),
                          Tint::secondary);
}

void StatusView::rebuildButtons(StatusPhase phase) {
    m_buttons->addStretch(1);
    auto* viewLog = new QPushButton(QStringLiteral("View log"));
    connect(viewLog, &QPushButton::clicked, this, &StatusView::openLog);
    m_buttons->addWidget(viewLog);

    for (const ActionButton& button :
         actionButtons(phase, m_state.daemonStatus(), m_state.signingIn())) {
        QPushButton* widget = button.action == StatusAction::openSettings
                                  ? new SettingsLinkButton(m_state, button.title, std::nullopt)
                                  : new QPushButton(button.title);
        if (button.prominent)
            makeProminent(widget);
        widget->setEnabled(button.enabled);
        if (button.action != StatusAction::openSettings)
            connect(widget, &QPushButton::clicked, this,
                    [this, action = button.action] { perform(action); });
        m_buttons->addWidget(widget);
    }
}

void StatusView::perform(StatusAction action) {
    switch (action) {
    case StatusAction::install:
        m_state.installService();
        break;
    case StatusAction::uninstall:
        m_state.uninstallService();
        break;
    case StatusAction::openSystemSettings:
        m_state.openSystemSettingsLoginItems();
        break;
    case StatusAction::reconnect:
        m_state.signIn(reconnectProvider(m_state.controlStatus()));
        break;
    case StatusAction::retryNow:
        m_state.retryQueue();
        break;
    case StatusAction::sendTestEmail:
        openTestPrompt();
        break;
    case StatusAction::openSettings:
        showSettingsWindow();
        break;
    }
}

void StatusView::openTestPrompt() {
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    m_testPrompt = openTestEmailPrompt(this, m_state, status ? status->fromAddress : QString());
}

void StatusView::openLog() {
    if (!m_logSheet) {
        QDialog* sheet = makeSheet(this, QStringLiteral("zidire log"));
        auto* layout = new QVBoxLayout(sheet);
        layout->setContentsMargins(0, 0, 0, 0);
        m_logView = new LogView([this]() -> QCoro::Task<> { return fetchLog(); });
        m_logView->setText(m_logText);
        connect(m_logView, &LogView::done, sheet, &QDialog::accept);
        layout->addWidget(m_logView);
        m_logSheet = sheet;
        sheet->open();
    }
    fetchLog();
}

QCoro::Task<> StatusView::fetchLog() {
    const QPointer<StatusView> self(this);
    QCoro::Task<QString> reading = m_state.readLog();
    QString text = co_await reading;
    if (!self)
        co_return;
    m_logText = std::move(text);
    if (m_logView)
        m_logView->setText(m_logText);
}

void StatusView::followOnboarding() {
    if (m_state.showOnboarding() && !m_onboardingSheet && isVisible()) {
        m_onboardingSheet = new OnboardingSheet(m_state, this);
        m_onboardingSheet->open();
    } else if (!m_state.showOnboarding() && m_onboardingSheet && m_onboardingSheet->isVisible()) {
        m_onboardingSheet->close();
    }
}
