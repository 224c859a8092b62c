#include "AccountSettingsView.h"

#include "ActionMessages.h"
#include "DotLabel.h"
#include "GroupedForm.h"
#include "ProminentButton.h"
#include "SettingsPresentation.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>

AccountSettingsView::AccountSettingsView(AppState& state, QWidget* parent)
    : SettingsTabView(state, parent)
    , m_provider(makeProviderPicker())
    , m_fromAddress(new QLineEdit)
    , m_save(new QPushButton(QStringLiteral("Save")))
    , m_sendTest(new QPushButton(QStringLiteral("Send test email…")))
    , m_signedIn(new QWidget)
    , m_signIn(new ProminentButton(QString()))
    , m_googleCaption(new QLabel)
    , m_backgroundService(new QCheckBox)
    , m_menuBarIcon(new QCheckBox)
    , m_launchAtLogin(new QCheckBox) {

    m_fromAddress->setPlaceholderText(QStringLiteral("From address"));
    m_fromAddress->setMinimumWidth(fieldWidth);
    FormSection* sender = m_form->addSection();
    sender->setHeader(QStringLiteral("Sender"));
    sender->addRow(QStringLiteral("Provider"), m_provider);
    sender->addRow(QStringLiteral("From address"), m_fromAddress);
    sender->addButtons({m_sendTest, m_save});

    FormSection* signIn = m_form->addSection();
    signIn->setHeader(QStringLiteral("Sign in"));
    auto* signedInLayout = new QHBoxLayout(m_signedIn);
    signedInLayout->setContentsMargins(0, 0, 0, 0);
    signIn->addRow(QStringLiteral("Signed in"), m_signedIn);
    signIn->addButtons({m_signIn});
    m_googleCaption->setWordWrap(true);
    setTextTint(m_googleCaption, Tint::secondary);
    m_googleCaptionRow = signIn->addWidget(m_googleCaption);

    FormSection* general = m_form->addSection();
    general->setHeader(QStringLiteral("General"));
    general->addRow(QStringLiteral("Background service"), m_backgroundService);
    general->addRow(QStringLiteral("Show menu bar icon"), m_menuBarIcon);
    general->addRow(QStringLiteral("Launch at login"), m_launchAtLogin);

    connect(m_fromAddress, &QLineEdit::textChanged, this, &AccountSettingsView::follow);
    connect(m_provider, &QComboBox::currentIndexChanged, this, &AccountSettingsView::follow);
    connect(m_save, &QPushButton::clicked, this,
            [this] { m_state.saveSender(provider(), m_fromAddress->text()); });
    connect(m_sendTest, &QPushButton::clicked, this,
            [this] { openTestEmailPrompt(this, m_state, m_fromAddress->text()); });
    connect(m_signIn, &QPushButton::clicked, this, [this] { m_state.signIn(provider()); });
    // A switch starts its action; what it shows afterwards is what the model then holds.
    connect(m_backgroundService, &QCheckBox::clicked, this, [this](bool on) {
        if (on)
            m_state.installService();
        else
            m_state.uninstallService();
    });
    connect(m_menuBarIcon, &QCheckBox::clicked, this,
            [this](bool on) { m_state.setShowMenuBarIcon(on); });
    connect(m_launchAtLogin, &QCheckBox::clicked, this,
            [this](bool on) { m_state.setLaunchAtLogin(on); });
    for (auto changed : {&AppState::controlStatusChanged, &AppState::daemonStatusChanged,
                         &AppState::signingInChanged, &AppState::showMenuBarIconChanged,
                         &AppState::launchAtLoginChanged, &AppState::connectivityErrorChanged,
                         &AppState::lastErrorChanged})
        connect(&m_state, changed, this, &AccountSettingsView::follow, Qt::QueuedConnection);
    follow();
}

QString AccountSettingsView::provider() const {
    return m_provider->currentData().toString();
}

void AccountSettingsView::fill() {
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    if (!status)
        return;
    if (!status->provider.isEmpty())
        m_provider->setCurrentIndex(std::max(0, m_provider->findData(status->provider)));
    m_fromAddress->setText(status->fromAddress);
}

void AccountSettingsView::follow() {
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    m_save->setEnabled(!m_fromAddress->text().isEmpty());
    m_sendTest->setEnabled(canSendTestEmail(status));

    // Every poll comes here; the label is made anew only when what it says changes.
    const SignedInLabel signedIn = signedInLabel(status);
    if (signedIn != m_shownSignedIn) {
        m_shownSignedIn = signedIn;
        delete m_signedIn->layout()->takeAt(0);
        qDeleteAll(m_signedIn->findChildren<DotLabel*>(Qt::FindDirectChildrenOnly));
        m_signedIn->layout()->addWidget(new DotLabel(signedIn.tint, signedIn.text,
                                                     signedIn.dotTrailing
                                                         ? DotLabel::DotPosition::trailing
                                                         : DotLabel::DotPosition::leading));
    }
    m_signIn->setText(signInButtonTitle(m_state.signingIn(), provider()));
    m_signIn->setEnabled(!m_state.signingIn() && m_state.canSignIn(provider()));
    const std::optional<QString> caption =
        googleSignInCaption(provider(), m_state.canSignIn(QStringLiteral("gmail")));
    m_googleCaption->setText(caption.value_or(QString()));
    m_googleCaptionRow->setVisible(caption.has_value());

    const QSignalBlocker serviceBlocker(m_backgroundService);
    const QSignalBlocker iconBlocker(m_menuBarIcon);
    const QSignalBlocker loginBlocker(m_launchAtLogin);
    m_backgroundService->setChecked(m_state.daemonStatus() == ServiceStatus::enabled);
    m_menuBarIcon->setChecked(m_state.showMenuBarIcon());
    m_launchAtLogin->setChecked(m_state.launchAtLogin());

    showErrors();
}
