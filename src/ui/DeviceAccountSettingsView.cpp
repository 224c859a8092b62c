#include "DeviceAccountSettingsView.h"

#include "DotLabel.h"
#include "GroupedForm.h"
#include "SettingsPresentation.h"
#include "Symbols.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>

namespace {

QString firstListenerAddress(const std::optional<ControlStatus>& status) {
    return status && !status->listeners.isEmpty() ? status->listeners.first().address : QString();
}

} // namespace

DeviceAccountSettingsView::DeviceAccountSettingsView(AppState& state, MachineAddresses addresses,
                                                     QWidget* parent)
    : SettingsTabView(state, parent)
    , m_addresses(std::move(addresses))
    , m_username(new QLineEdit)
    , m_password(new QLineEdit)
    , m_eye(new QToolButton)
    , m_save(new QPushButton(QStringLiteral("Save device account"))) {
    FormSection* login = m_form->addSection();
    login->setHeader(QStringLiteral("Device login"));
    login->setFooter(QStringLiteral(
        "The login your MFC devices use to send scans to this relay (SMTP AUTH). Use the same "
        "details in each device's scan-to-email setup. Viewing the saved password asks for an "
        "administrator's credentials."));
    m_username->setPlaceholderText(QStringLiteral("Username"));
    m_username->setMinimumWidth(fieldWidth);
    login->addRow(QStringLiteral("Username"), m_username);
    m_password->setPlaceholderText(QStringLiteral("Password"));
    m_password->setMinimumWidth(fieldWidth - 30);
    auto* passwordRow = new QWidget;
    auto* passwordLayout = new QHBoxLayout(passwordRow);
    passwordLayout->setContentsMargins(0, 0, 0, 0);
    passwordLayout->addWidget(m_password, 1);
    m_eye->setAutoRaise(true);
    passwordLayout->addWidget(m_eye);
    login->addRow(QStringLiteral("Password"), passwordRow);
    login->addButtons({m_save});

    m_listening = m_form->addSection();
    m_listening->setHeader(QStringLiteral("Listening on"));

    connect(m_username, &QLineEdit::textChanged, this, &DeviceAccountSettingsView::follow);
    connect(m_password, &QLineEdit::textChanged, this, &DeviceAccountSettingsView::follow);
    connect(m_save, &QPushButton::clicked, this,
            [this] { m_state.saveDeviceAccount(m_username->text(), m_password->text()); });
    connect(m_eye, &QToolButton::clicked, this, [this] { togglePasswordShown(); });
    connect(&m_state, &AppState::controlStatusChanged, this, [this] {
        if (firstListenerAddress(m_state.controlStatus()) != m_firstListener)
            applyFirstListener();
    });
    for (auto changed : {&AppState::controlStatusChanged, &AppState::connectivityErrorChanged,
                         &AppState::lastErrorChanged})
        connect(&m_state, changed, this, &DeviceAccountSettingsView::follow, Qt::QueuedConnection);
    showPassword(false);
    follow();
}

void DeviceAccountSettingsView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange)
        showPassword(m_showDevicePassword);
    SettingsTabView::changeEvent(event);
}

void DeviceAccountSettingsView::fill() {
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    if (status) {
        m_username->setText(status->deviceUsername);
        m_devicePasswordStored = status->devicePasswordStored;
    }
    m_localAddresses = m_addresses.list();
    m_primaryAddress = m_addresses.primary();
    if (!firstListenerAddress(status).isEmpty())
        applyFirstListener();
}

void DeviceAccountSettingsView::applyFirstListener() {
    m_firstListener = firstListenerAddress(m_state.controlStatus());
    const QString host = listenHostOf(m_firstListener);
    m_selectedListenHost = host;
    m_configuredListenHost = host;
    rebuildListening();
}

void DeviceAccountSettingsView::chooseListenHost(const QString& host) {
    m_selectedListenHost = host;
    if (host == m_configuredListenHost)
        return;
    m_configuredListenHost = host;
    m_state.saveListenHost(host);
}

void DeviceAccountSettingsView::follow() {
    m_save->setEnabled(!m_username->text().isEmpty() && !m_password->text().isEmpty());
    m_eye->setEnabled(!m_revealingPassword &&
                      !(m_password->text().isEmpty() && !m_devicePasswordStored));
    rebuildListening();
    showErrors();
}

void DeviceAccountSettingsView::rebuildListening() {
    const std::optional<ControlStatus>& status = m_state.controlStatus();
    // Every poll comes here; an open picker must not be pulled away while nothing it shows
    // changed.
    const bool picker = offersListenPicker(m_localAddresses);
    const QList<ListenOption> options =
        picker ? listenOptions(m_localAddresses, m_configuredListenHost) : QList<ListenOption>();
    const QList<ListenerRow> rows = listenerRows(status, m_primaryAddress);
    const bool available = status && !status->listeners.isEmpty();
    Shown shown{available, options, m_selectedListenHost, rows};
    if (m_shownListening == shown)
        return;
    m_shownListening = std::move(shown);

    m_listening->clear();
    m_listening->setFooter(listeningFooter(m_localAddresses));
    if (!available) {
        m_listening->addText(
            QStringLiteral("Not available — the background service isn't reachable."),
            Tint::secondary);
        return;
    }
    if (offersListenPicker(m_localAddresses)) {
        auto* picker = new QComboBox;
        for (const ListenOption& option : listenOptions(m_localAddresses, m_configuredListenHost))
            picker->addItem(option.title, option.value);
        picker->setCurrentIndex(std::max(0, picker->findData(m_selectedListenHost)));
        connect(picker, &QComboBox::activated, this, [this, picker](int index) {
            chooseListenHost(picker->itemData(index).toString());
        });
        m_listening->addRow(QStringLiteral("Listen on"), picker);
    }
    for (const ListenerRow& row : listenerRows(status, m_primaryAddress)) {
        if (row.listening) {
            m_listening->addRow(row.title, new QLabel(row.value));
        } else {
            auto* notListening = new DotLabel(Tint::red, row.value);
            notListening->setToolTip(row.error);
            m_listening->addRow(row.title, notListening, row.error);
        }
    }
}

QCoro::Task<> DeviceAccountSettingsView::togglePasswordShown() {
    if (m_showDevicePassword) {
        showPassword(false);
        co_return;
    }
    if (!m_password->text().isEmpty()) {
        showPassword(true);
        co_return;
    }
    const QPointer<DeviceAccountSettingsView> self(this);
    m_revealingPassword = true;
    follow();
    QCoro::Task<std::optional<QString>> revealing = m_state.revealDevicePassword();
    const std::optional<QString> password = co_await revealing;
    if (!self)
        co_return;
    if (password) {
        m_password->setText(*password);
        showPassword(true);
    }
    m_revealingPassword = false;
    follow();
}

void DeviceAccountSettingsView::showPassword(bool shown) {
    m_showDevicePassword = shown;
    m_password->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    m_eye->setIcon(symbolIcon(shown ? QStringLiteral("eye.slash") : QStringLiteral("eye"),
                              tintColor(Tint::secondary)));
    m_eye->setToolTip(shown ? QStringLiteral("Hide password")
                            : QStringLiteral("Show password (administrator required)"));
}
