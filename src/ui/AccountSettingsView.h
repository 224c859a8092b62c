#pragma once

// The settings window's "Sending account" tab: the provider and sender address, signing in, and
// the general switches. What the person types is theirs until saved; everything else follows
// the model.

#include "SettingsPresentation.h"
#include "SettingsTabView.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class AccountSettingsView : public SettingsTabView {
    Q_OBJECT

public:
    explicit AccountSettingsView(AppState& state, QWidget* parent = nullptr);

    QString provider() const;

private:
    void fill() override;
    void follow() override;

    QComboBox* m_provider;
    QLineEdit* m_fromAddress;
    QPushButton* m_save;
    QPushButton* m_sendTest;
    QWidget* m_signedIn;
    std::optional<SignedInLabel> m_shownSignedIn;
    QPushButton* m_signIn;
    QLabel* m_googleCaption;
    QWidget* m_googleCaptionRow;
    QCheckBox* m_backgroundService;
    QCheckBox* m_menuBarIcon;
    QCheckBox* m_launchAtLogin;
};
