#include "OnboardingView.h"

#include "ActionMessages.h"
#include "GroupedForm.h"
#include "HeroCard.h"
#include "LocalIPv4Address.h"
#include "ProminentButton.h"
#include "Rebuild.h"
#include "Symbols.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QLabel* tintedLabel(const TintedText& text) {
    auto* label = new QLabel(text.text);
    label->setTextFormat(Qt::PlainText);
    setTextTint(label, text.tint);
    return label;
}

// Named, so that focus can follow the field into the content that replaces it.
QLineEdit* textField(const char* name, const QString& text, QLineEdit::EchoMode echo) {
    auto* field = new QLineEdit(text);
    field->setObjectName(QLatin1String(name));
    field->setEchoMode(echo);
    field->setMinimumWidth(240);
    return field;
}

// A widget at its own width at the start of a row.
QWidget* leading(QWidget* widget) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(widget);
    layout->addStretch(1);
    return row;
}

QWidget* welcomeList(qreal devicePixelRatio) {
    static const char* const items[][2] = {
        {"1.circle", "Start the background service"},
        {"2.circle", "Create a login for your copiers"},
        {"3.circle", "Sign in with Microsoft or Google"},
    };
    auto* list = new QWidget;
    auto* column = new QVBoxLayout(list);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    for (const auto& [symbol, text] : items) {
        auto* item = new QHBoxLayout;
        item->setSpacing(6);
        auto* icon = new QLabel;
        icon->setPixmap(
            symbolPixmap(QLatin1String(symbol), 15, tintColor(Tint::secondary), devicePixelRatio));
        item->addWidget(icon);
        item->addWidget(tintedLabel({QString::fromUtf8(text), Tint::secondary}), 1);
        column->addLayout(item);
    }
    return list;
}

} // namespace

OnboardingView::OnboardingView(AppState& state, QWidget* parent)
    : QWidget(parent)
    , m_state(state) {
    setFixedSize(contentSize);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    const OnboardingFacts now = facts();
    m_relayAnswering = now.relayAnswering;
    m_authenticated = now.authenticated;
    connect(&m_state, &AppState::controlStatusChanged, this, &OnboardingView::followRelay);
    for (auto changed : {&AppState::daemonStatusChanged, &AppState::signingInChanged,
                         &AppState::infoMessageChanged, &AppState::lastErrorChanged})
        connect(&m_state, changed, this, [this] { m_rebuild.schedule(); });
    rebuild();
}

void OnboardingView::keyPressEvent(QKeyEvent* event) {
    // Only "Finish" and "Set Up Later" end the assistant; Escape must not reach a dialog host.
    if (event->matches(QKeySequence::Cancel))
        return event->accept();
    QWidget::keyPressEvent(event);
}

void OnboardingView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Symbols are drawn in the colours of the appearance they were built in.
    if (event->type() == QEvent::PaletteChange) {
        m_stale = true;
        m_rebuild.schedule();
    }
}

OnboardingFacts OnboardingView::facts() const {
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    return {
        .relayAnswering = status.has_value(),
        .authenticated = status && status->authenticated,
        .signingIn = m_state.signingIn(),
        .providerCanSignIn = m_state.canSignIn(m_provider),
        .username = m_deviceUsername,
        .password = m_devicePassword,
        .provider = m_provider,
        .fromAddress = m_fromAddress,
    };
}

OnboardingView::Shown OnboardingView::shown() const {
    const OnboardingFacts now = facts();
    return {m_step,        m_state.daemonStatus(), now.relayAnswering,  now.authenticated,
            now.signingIn, m_state.infoMessage(),  m_state.lastError(), m_provider};
}

void OnboardingView::rebuild() {
    const Shown now = shown();
    if (m_shown == now && !m_stale)
        return;
    m_stale = false;
    const bool stepChanged = !m_shown || m_shown->step != now.step;
    m_shown = now;

    QString focusName;
    int cursor = 0;
    QWidget* focus = QApplication::focusWidget();
    if (focus && m_content && m_content->isAncestorOf(focus)) {
        focusName = focus->objectName();
        if (auto* field = qobject_cast<QLineEdit*>(focus))
            cursor = field->cursorPosition();
    }

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    const StepHeader header = stepHeader(m_step);
    auto* headerBox = new QWidget;
    auto* headerLayout = new QVBoxLayout(headerBox);
    headerLayout->setContentsMargins(20, 20, 20, 20);
    headerLayout->addWidget(
        new HeroCard({header.symbol, Tint::accent, header.title, header.subtitle}));
    column->addWidget(headerBox);
    column->addWidget(new FormDivider);

    // The form keeps its natural height and scrolls when a long message needs more room.
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    auto* formBox = new QWidget;
    auto* formColumn = new QVBoxLayout(formBox);
    formColumn->setContentsMargins(0, 0, 0, 0);
    auto* form = new GroupedForm;
    formColumn->addWidget(form);
    formColumn->addStretch(1);
    scroll->setWidget(formBox);
    formBox->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    column->addWidget(scroll, 1);

    m_signIn = nullptr;
    FormSection* section = form->addSection();
    buildStepSection(section);
    section->setFooter(m_step == Step::signIn ? signInFooter(m_provider, facts().providerCanSignIn)
                                              : header.footer);
    for (const auto& [message, tint] :
         {std::pair{now.infoMessage, Tint::secondary}, std::pair{now.lastError, Tint::red}}) {
        if (!message)
            continue;
        form->addSection()->addText(*message, tint);
    }
    column->addWidget(new FormDivider);

    auto* buttonBar = new QHBoxLayout;
    buttonBar->setContentsMargins(16, 16, 16, 16);
    if (showsSetUpLater(m_step)) {
        auto* later = new QPushButton(QStringLiteral("Set Up Later"));
        later->setAutoDefault(false);
        connect(later, &QPushButton::clicked, this,
                [this] { handle(OnboardingEvent::setUpLaterPressed); });
        buttonBar->addWidget(later);
    }
    buttonBar->addStretch(1);
    m_primary = new ProminentButton(primaryButton(m_step, facts()).title);
    m_primary->setObjectName(QStringLiteral("primary"));
    m_primary->setDefault(true);
    connect(m_primary, &QPushButton::clicked, this, &OnboardingView::pressPrimary);
    buttonBar->addWidget(m_primary);
    column->addLayout(buttonBar);
    updateButtons();

    replaceContent(*this, m_content, content);
    // Laid out at once, nested layouts included, so that no half-sized form is ever painted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);

    // A new step starts at its first field; a rebuild within a step leaves focus where it was.
    QWidget* target = nullptr;
    if (stepChanged) {
        target = content->findChild<QLineEdit*>();
        if (!target)
            target = m_primary;
    } else if (!focusName.isEmpty()) {
        target = content->findChild<QWidget*>(focusName);
    }
    if (target) {
        target->setFocus();
        if (auto* field = qobject_cast<QLineEdit*>(target); field && !stepChanged)
            field->setCursorPosition(cursor);
    }
}

void OnboardingView::buildStepSection(FormSection* section) {
    switch (m_step) {
    case Step::welcome:
        section->addText(QStringLiteral(
            "Older copiers and scanners can't sign in to Microsoft 365 or Google Workspace. "
            "Moxtrel accepts their scans on your Mac and relays them using modern sign-in."));
        section->addText(QStringLiteral("This assistant walks you through the setup:"));
        section->addWidget(welcomeList(devicePixelRatioF()));
        break;
    case Step::service: {
        const ServiceRow row = serviceRow(m_state.daemonStatus(), m_relayAnswering);
        auto* value = new QWidget;
        auto* layout = new QHBoxLayout(value);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(10);
        layout->addWidget(tintedLabel(row.value));
        if (row.action != ServiceRowAction::none) {
            auto* button = new QPushButton(row.actionTitle);
            button->setAutoDefault(false);
            connect(button, &QPushButton::clicked, this, [this, action = row.action] {
                if (action == ServiceRowAction::install)
                    m_state.installService();
                else
                    m_state.openSystemSettingsLoginItems();
            });
            layout->addWidget(button);
        }
        section->addRow(QStringLiteral("Background service"), value);
        break;
    }
    case Step::deviceAccount: {
        auto* username = textField("username", m_deviceUsername, QLineEdit::Normal);
        connect(username, &QLineEdit::textChanged, this, [this](const QString& text) {
            m_deviceUsername = text;
            updateButtons();
        });
        auto* password = textField("password", m_devicePassword, QLineEdit::Password);
        connect(password, &QLineEdit::textChanged, this, [this](const QString& text) {
            m_devicePassword = text;
            updateButtons();
        });
        section->addRow(QStringLiteral("Username"), username);
        section->addRow(QStringLiteral("Password"), password);
        break;
    }
    case Step::signIn: {
        QComboBox* provider = makeProviderPicker();
        provider->setObjectName(QStringLiteral("provider"));
        provider->setCurrentIndex(std::max(0, provider->findData(m_provider)));
        provider->setMinimumWidth(240);
        // The button's title and the footer follow the provider.
        connect(provider, &QComboBox::currentIndexChanged, this, [this, provider] {
            m_provider = provider->currentData().toString();
            m_rebuild.schedule();
        });
        auto* fromAddress = textField("fromAddress", m_fromAddress, QLineEdit::Normal);
        connect(fromAddress, &QLineEdit::textChanged, this, [this](const QString& text) {
            m_fromAddress = text;
            updateButtons();
        });
        section->addRow(QStringLiteral("Provider"), provider);
        section->addRow(QStringLiteral("From address"), fromAddress);
        section->addRow(QStringLiteral("Signed in"), tintedLabel(signedInValue(m_authenticated)));
        m_signIn = new QPushButton;
        m_signIn->setObjectName(QStringLiteral("signIn"));
        m_signIn->setAutoDefault(false);
        connect(m_signIn, &QPushButton::clicked, this, &OnboardingView::pressSignIn);
        section->addWidget(leading(m_signIn));
        break;
    }
    case Step::done:
        for (const SummaryRow& row :
             summaryRows(LocalIPv4Address::primary(), m_deviceUsername, m_fromAddress)) {
            auto* value = new QLabel(row.value);
            value->setTextFormat(Qt::PlainText);
            value->setTextInteractionFlags(Qt::TextSelectableByMouse);
            section->addRow(row.label, value);
        }
        break;
    }
}

void OnboardingView::updateButtons() {
    const OnboardingFacts now = facts();
    if (m_primary)
        m_primary->setEnabled(primaryButton(m_step, now).enabled);
    if (m_signIn) {
        const ButtonState button = signInButton(now);
        m_signIn->setText(button.title);
        m_signIn->setEnabled(button.enabled);
    }
}

void OnboardingView::followRelay() {
    const OnboardingFacts now = facts();
    const bool startedAnswering = now.relayAnswering && !m_relayAnswering;
    const bool becameAuthenticated = now.authenticated && !m_authenticated;
    m_relayAnswering = now.relayAnswering;
    m_authenticated = now.authenticated;
    if (startedAnswering)
        handle(OnboardingEvent::relayStartedAnswering);
    if (becameAuthenticated)
        handle(OnboardingEvent::accountBecameAuthenticated);
    m_rebuild.schedule();
}

void OnboardingView::handle(OnboardingEvent event) {
    const std::optional<OnboardingTransition> transition =
        onboardingTransition(m_step, event, m_relayAnswering);
    if (!transition)
        return;
    switch (transition->effect) {
    case OnboardingEffect::saveDeviceAccount:
        m_state.saveDeviceAccount(m_deviceUsername, m_devicePassword);
        break;
    case OnboardingEffect::close:
        return finish();
    case OnboardingEffect::none:
        break;
    }
    m_step = transition->to;
    m_rebuild.schedule();
}

void OnboardingView::pressPrimary() {
    if (primaryButton(m_step, facts()).enabled)
        handle(OnboardingEvent::primaryPressed);
}

void OnboardingView::pressSignIn() {
    if (!signInButton(facts()).enabled)
        return;
    m_state.saveSender(m_provider, m_fromAddress);
    m_state.signIn(m_provider);
}

void OnboardingView::finish() {
    m_state.storeOnboardingCompleted();
    m_state.setShowOnboarding(false);
}
