#pragma once

// The settings window's "Device account" tab: the SMTP login the copiers use, its stored password
// (shown only to an administrator), and the addresses zidire listens on.

#include "LocalIPv4Address.h"
#include "SettingsPresentation.h"
#include "SettingsTabView.h"

#include <QCoroTask>
#include <QList>

#include <functional>
#include <optional>

class FormSection;
class QComboBox;
class QLineEdit;
class QPushButton;
class QToolButton;

// Where the machine's addresses come from; tests give their own.
struct MachineAddresses {
    std::function<QList<LocalIPv4Address>()> list = [] { return LocalIPv4Address::list(); };
    std::function<std::optional<QString>()> primary = [] { return LocalIPv4Address::primary(); };
};

class DeviceAccountSettingsView : public SettingsTabView {
    Q_OBJECT

public:
    explicit DeviceAccountSettingsView(AppState& state, MachineAddresses addresses = {},
                                       QWidget* parent = nullptr);

    QString configuredListenHost() const { return m_configuredListenHost; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void fill() override;
    void follow() override;
    void rebuildListening();
    // The first listener's host becomes both the chosen and the configured one: following the
    // relay is no change to send.
    void applyFirstListener();
    void chooseListenHost(const QString& host);
    QCoro::Task<> togglePasswordShown();
    void showPassword(bool shown);

    MachineAddresses m_addresses;
    QLineEdit* m_username;
    QLineEdit* m_password;
    QToolButton* m_eye;
    QPushButton* m_save;
    FormSection* m_listening;

    bool m_devicePasswordStored = false;
    bool m_showDevicePassword = false;
    bool m_revealingPassword = false;
    QList<LocalIPv4Address> m_localAddresses;
    std::optional<QString> m_primaryAddress;
    QString m_selectedListenHost = QStringLiteral("0.0.0.0");
    QString m_configuredListenHost = QStringLiteral("0.0.0.0");
    QString m_firstListener;

    // What the listening section and the messages show now.
    struct Shown {
        bool available = false;
        QList<ListenOption> options;
        QString selected;
        QList<ListenerRow> rows;
        bool operator==(const Shown&) const = default;
    };
    std::optional<Shown> m_shownListening;
};
